// The built simulator as a program finds it: a shared library in a folder, under every name the
// Zolvane binding tries, with the six VISA entry points Zolvane binds (simulator_exports checks
// that it exports the whole entry-point list and nothing else).
#include <dlfcn.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "session/visa_api.h"

namespace {

TEST(SimulatorLibrary, EveryVisaNameLoadsTheSimulatorWithItsSixEntryPoints) {
  for (const char *name : {"libivivisa.so.7", "libvisa.so", "librsvisa.so", "libiovisa.so"}) {
    std::string path = std::string(ZOLVANE_SIM_PATH) + "/" + name;
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << path << ": " << dlerror();
    for (const char *fn : {"viOpenDefaultRM", "viOpen", "viSetAttribute", "viClose", "viPrintf",
                           "viQueryf"})
      EXPECT_NE(dlsym(lib, fn), nullptr) << name << " lacks " << fn;
    // Nothing of the model leaks out as a symbol a VISA user could bind by mistake.
    EXPECT_EQ(dlsym(lib, "_ZN11zolvane_sim7TestSet7receiveESt17basic_string_viewIcSt11char_traitsIcEEd"),
              nullptr);
    dlclose(lib);
  }
}

TEST(SimulatorLibrary, AnswersThroughItsCEntryPoints) {
  std::string path = std::string(ZOLVANE_SIM_PATH) + "/libivivisa.so.7";
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto openRM = reinterpret_cast<ViOpenDefaultRMFn>(dlsym(lib, "viOpenDefaultRM"));
  auto open = reinterpret_cast<ViOpenFn>(dlsym(lib, "viOpen"));
  auto setAttr = reinterpret_cast<ViSetAttributeFn>(dlsym(lib, "viSetAttribute"));
  auto close = reinterpret_cast<ViCloseFn>(dlsym(lib, "viClose"));
  auto printf = reinterpret_cast<ViPrintfFn>(dlsym(lib, "viPrintf"));
  auto queryf = reinterpret_cast<ViQueryfFn>(dlsym(lib, "viQueryf"));
  ViSession rm = 0, vi = 0;
  ASSERT_EQ(openRM(&rm), kViSuccess);
  ASSERT_EQ(open(rm, const_cast<char *>("GPIB0::14::INSTR"), 0, 0, &vi), kViSuccess);
  ASSERT_EQ(setAttr(vi, kViAttrTmoValue, 20000), kViSuccess);
  ASSERT_EQ(printf(vi, const_cast<char *>("CALL:POW %sDBM\n"), "-71.50"), kViSuccess);
  char buf[256] = {};
  ASSERT_EQ(queryf(vi, const_cast<char *>("CALL:POW?\n"), const_cast<char *>("%255s"), buf),
            kViSuccess);
  EXPECT_STREQ(buf, "-71.50");
  ASSERT_EQ(queryf(vi, const_cast<char *>("SYST:ERR?\n"), const_cast<char *>("%255s"), buf),
            kViSuccess);
  EXPECT_STREQ(buf, "+0,\"No");
  EXPECT_EQ(close(rm), kViSuccess);
  EXPECT_EQ(printf(vi, const_cast<char *>("*CLS\n")), kViErrorInvObject);
  dlclose(lib);
}

}  // namespace
