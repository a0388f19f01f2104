#include "numbers.h"
#include "words.h"

#include <stdio.h>

int main(void) {
    const char* text = "every block comes back to the allocation it came from";
    const char* word;
    size_t length = LongestWord(text, &word);
    unsigned long squares = SumOfSquares(100);
    printf("cmake_project: %zu words, longest '%.*s', squares to 100: %lu (digit sum %u)\n",
           CountWords(text), (int)length, word, squares, DigitSum(squares));
    return 0;
}
