#include "cli/mivra_main.h"

int main(int argc, char** argv) { return mivra_main(argc, argv); }
