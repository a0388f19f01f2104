/* The longest word of a text and the number of its words. */
#pragma once
#include <stddef.h>

size_t CountWords(const char* text);
size_t LongestWord(const char* text, const char** start);
