#include "desktop/launcher_main.h"

int main(int argc, char** argv) { return launcher_main(argc, argv); }
