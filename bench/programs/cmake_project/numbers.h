/* The sum of the squares 1..n, and n's digit sum. */
#pragma once

unsigned long SumOfSquares(unsigned n);
unsigned DigitSum(unsigned long n);
