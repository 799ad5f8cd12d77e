// Prints the folder the program would keep its files in, as decided for this very executable,
// and writes a file there, as the window writes its settings.

#include <cstdio>
#include <exception>

#include "util/Platform.h"

int main() {
    try {
        const auto dir = korvalot::util::DataDirectory();
        korvalot::util::WriteFileBytes(dir / "settings.ini", "[General]\r\n");
        std::printf("%s\n", dir.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
