// The main of every test program: takes the locale from the environment (so a German run really
// formats with a decimal comma in the double) and checks that it did.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "");
  if (const char *want = std::getenv("ZOLVANE_TEST_DECIMAL_COMMA"); want && *want == '1') {
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    if (std::strcmp(probe, "1,5") != 0) {
      std::fprintf(stderr, "the German locale did not take effect (1.5 printed as %s)\n", probe);
      return 1;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
