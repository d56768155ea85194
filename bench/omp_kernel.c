/* The OpenMP kernel of the placement section: every thread of the team
 * does the same fixed arithmetic, so the run takes one thread's time when
 * each thread has a core of its own, and the team's times added up when
 * they share one. */
#include <omp.h>

int main(void) {
  double sum = 0;
#pragma omp parallel reduction(+ : sum)
  {
    double x = 0;
    for (int i = 0; i < 100000000; ++i) x += (double)(i % 7) * 0.5;
    sum += x;
  }
  return sum < 0;
}
