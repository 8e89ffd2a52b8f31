// json_reference: the pinned JSON library exactly as it ships, without the nesting guard, as the oracle of the
// guard's tests. Reads a CBOR document and writes its dump on stdout.
//
//   json_reference <cbor file> <indent> <indent char code> <ensure_ascii 0|1> <ordered 0|1>
//
// The work runs on a thread with a 1 GiB stack so that the library's recursion can handle deep documents.
#include <nlohmann/json.hpp>

#ifdef MIVRA_JSON_NESTING_GUARD
#error "the reference tool must be built with the unguarded library"
#endif

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct job {
    int argc;
    char** argv;
    int status = 1;
};

template <class J> std::string dump_file(const std::vector<std::uint8_t>& bytes, int indent, char ichar, bool ascii) {
    const J value = J::from_cbor(bytes, true, true, J::cbor_tag_handler_t::store);
    return value.dump(indent, ichar, ascii);
}

void* run(void* arg) {
    auto* j = static_cast<job*>(arg);
    std::ifstream in(j->argv[1], std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const int indent = std::atoi(j->argv[2]);
    const char ichar = static_cast<char>(std::atoi(j->argv[3]));
    const bool ascii = std::atoi(j->argv[4]) != 0;
    const bool ordered = std::atoi(j->argv[5]) != 0;
    try {
        const std::string text = ordered ? dump_file<nlohmann::ordered_json>(bytes, indent, ichar, ascii)
                                         : dump_file<nlohmann::json>(bytes, indent, ichar, ascii);
        std::fwrite(text.data(), 1, text.size(), stdout);
        j->status = 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "json_reference: %s\n", e.what());
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: json_reference <cbor file> <indent> <indent char> <ensure_ascii> <ordered>\n");
        return 2;
    }
    job work{argc, argv};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size_t{1} << 30);
    pthread_t thread;
    if (pthread_create(&thread, &attr, run, &work) != 0) return 3;
    pthread_join(thread, nullptr);
    return work.status;
}
