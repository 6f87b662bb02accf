#include <cstring>

#include "check.hpp"

namespace check {

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

static int g_failures_in_case = 0;

void record_failure(const char* file, int line, const std::string& what) {
    ++g_failures_in_case;
    std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

}  // namespace check

// Runs every case (or those whose name contains argv[1]) and ends with a
// "N passed, N failed" line.
int main(int argc, char** argv) {
    int passed = 0, failed = 0;
    for (const check::Case& c : check::registry()) {
        if (argc > 1 && !std::strstr(c.name, argv[1])) continue;
        check::g_failures_in_case = 0;
        try {
            c.body();
        } catch (const check::Stop&) {
        } catch (const std::exception& e) {
            check::record_failure(c.name, 0, std::string("unexpected exception: ") + e.what());
        }
        if (check::g_failures_in_case == 0) {
            ++passed;
        } else {
            ++failed;
            std::cerr << "FAILED: " << c.name << "\n";
        }
    }
    std::cout << "core: " << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}
