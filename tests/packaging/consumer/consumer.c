/* Opens the test set, asks for one reading and releases it again.
 *   consumer no-visa   no VISA can be found: the library still loads and says so
 *   consumer visa      the VISA test double is found: it opens, writes "*CLS", the reading
 *                      times out (nothing answers), the release succeeds */
#include <Zolvane.h>

#include <stdio.h>
#include <string.h>

static int expect(const char *what, int got, int want) {
  if (got == want) return 0;
  printf("%s returned %d, expected %d\n", what, got, want);
  return 1;
}

int main(int argc, char **argv) {
  const int withVisa = argc > 1 && strcmp(argv[1], "visa") == 0;
  double fer = -1.0;
  int failures = 0;
  if (withVisa) {
    failures += expect("Zolvane_InitTester", Zolvane_InitTester(5), ZOLVANE_SUCCESS);
    /* VI_ERROR_TMO: the double answers no query it was not given an answer for. */
    failures += expect("Zolvane_2K_MeasFER", Zolvane_2K_MeasFER(&fer), (int)0xBFFF0015);
    failures += expect("Zolvane_ReleaseTester", Zolvane_ReleaseTester(), ZOLVANE_SUCCESS);
  } else {
    failures += expect("Zolvane_InitTester", Zolvane_InitTester(5), ZOLVANE_ERROR_LIBRARY_NFOUND);
    failures += expect("Zolvane_2K_MeasFER", Zolvane_2K_MeasFER(&fer), ZOLVANE_ERROR_LIBRARY_NFOUND);
    failures += expect("Zolvane_ReleaseTester", Zolvane_ReleaseTester(), ZOLVANE_SUCCESS);
  }
  if (fer != -1.0) {
    printf("a failed reading wrote %f\n", fer);
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
