// Feeds every file of the given directories (or the given files) to the fuzz
// target's LLVMFuzzerTestOneInput, one at a time, in name order. A fault shows
// as a crash or sanitizer report naming the input last announced; an empty
// or missing corpus directory is an error, so a lost corpus cannot pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::string> inputsOf(const std::string &path) {
    std::vector<std::string> out;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return out;
    if (!S_ISDIR(st.st_mode)) return {path};
    if (DIR *d = ::opendir(path.c_str())) {
        while (const dirent *e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == ".." || name[0] == '.') continue;
            const std::string full = path + "/" + name;
            if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(full);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus dir or input>...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::string> inputs = inputsOf(argv[i]);
        if (inputs.empty()) {
            std::fprintf(stderr, "no inputs in %s\n", argv[i]);
            return 1;
        }
        for (const std::string &file : inputs) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        }
        std::fprintf(stderr, "%zu inputs replayed from %s\n", inputs.size(), argv[i]);
    }
    return 0;
}
