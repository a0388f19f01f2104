// A library that allocates while it is loaded and unloaded, for the override's dlopen case.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
// Built by the library's constructor, destroyed by its destructor at dlclose.
std::vector<std::string> gTexts(100, std::string(300, 'a'));
} // namespace

// A C string of `count + 1` '#' that the caller frees.
extern "C" [[gnu::visibility("default")]] char* QORTestMakeText(int count) {
    auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(count) + 2));
    std::memset(text, '#', static_cast<std::size_t>(count) + 1);
    text[count + 1] = '\0';
    gTexts.push_back(text);
    return text;
}
