// Runs a fuzz target once over every file under the directories given: the
// committed corpus under ctest, without libFuzzer. A finding aborts. A
// dialogue scenario (tests/scenarios/, names without a dot) stands for what
// its server sends: its S: lines.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../scenarios/scenario_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    int replayed = 0;
    for (int k = 1; k < argc; ++k) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[k])) {
            const bool scenario = entry.path().parent_path().filename() == "scenarios";
            if (!entry.is_regular_file() || (scenario && entry.path().has_extension()))
                continue;
            std::string input;
            if (scenario) {
                for (const std::string& line : scenario_lines(entry.path()))
                    input += line.compare(0, 3, "S: ") == 0 ? bytes(line.substr(3), true) : "";
            } else {
                std::ifstream in(entry.path(), std::ios::binary);
                input.assign(std::istreambuf_iterator<char>(in), {});
            }
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
