// Runs a fuzz target once over every file under the directories given: the
// committed corpus under ctest, without libFuzzer. A finding aborts. A
// dialogue scenario (tests/scenarios/, names without a dot) stands for what
// its server sends: its S: lines, with \r and \n read as CR and LF, and CR LF
// added unless a line ends in \n (other escapes stay as written: a seed need
// not be exact).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string server_bytes(std::istream& in) {
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 3, "S: ") != 0)
            continue;
        std::string bytes = line.substr(3);
        for (size_t at = 0; (at = bytes.find('\\', at)) != std::string::npos; ++at) {
            if (bytes[at + 1] == 'r' || bytes[at + 1] == 'n')
                bytes.replace(at, 2, 1, bytes[at + 1] == 'r' ? '\r' : '\n');
        }
        out += bytes.empty() || bytes.back() != '\n' ? bytes + "\r\n" : bytes;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    int replayed = 0;
    for (int k = 1; k < argc; ++k) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[k])) {
            const bool scenario = entry.path().parent_path().filename() == "scenarios";
            if (!entry.is_regular_file() || (scenario && entry.path().has_extension()))
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string bytes =
                scenario ? server_bytes(in) : std::string(std::istreambuf_iterator<char>(in), {});
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
