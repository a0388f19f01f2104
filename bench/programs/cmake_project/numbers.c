#include "numbers.h"

unsigned long SumOfSquares(unsigned n) {
    unsigned long sum = 0;
    for (unsigned long i = 1; i <= n; ++i)
        sum += i * i;
    return sum;
}

unsigned DigitSum(unsigned long n) {
    unsigned sum = 0;
    for (; n; n /= 10)
        sum += (unsigned)(n % 10);
    return sum;
}
