// rewrap_sealed: rewrites a sealed text so that its Base64 text breaks its lines as MIME does
// (CR LF after every 76 characters), which the unsealing decoder skips.
//   rewrap_sealed <sealed file> <output>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "sealcore/str_confuse.h"

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::cerr << "usage: rewrap_sealed <sealed file> <output>\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string sealed((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    util_ko::StrConfuse confuse;
    const std::string text = confuse.DeconfuseStr(sealed, util_ko::CONFUSE_TYPE_1);
    std::string wrapped;
    wrapped.reserve(text.size() + text.size() / 38 + 2);
    for (std::size_t i = 0; i < text.size(); i += 76) {
        wrapped.append(text, i, 76).append("\r\n");
    }
    const std::string out = confuse.ConfuseStr(wrapped, util_ko::CONFUSE_TYPE_1);
    std::ofstream(argv[2], std::ios::binary)
        .write(out.data(), static_cast<std::streamsize>(out.size()));
    return in.bad() ? 1 : 0;
}
