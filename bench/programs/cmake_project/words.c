#include "words.h"

#include <ctype.h>

size_t CountWords(const char* text) {
    size_t count = 0;
    for (int inside = 0; *text; ++text) {
        int letter = isalpha((unsigned char)*text) != 0;
        count += letter && !inside;
        inside = letter;
    }
    return count;
}

size_t LongestWord(const char* text, const char** start) {
    size_t best = 0;
    *start = text;
    while (*text) {
        const char* word = text;
        while (isalpha((unsigned char)*text))
            ++text;
        if ((size_t)(text - word) > best) {
            best = (size_t)(text - word);
            *start = word;
        }
        if (*text) ++text;
    }
    return best;
}
