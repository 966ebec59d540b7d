"""A short phone test from Python, through the ctypes module, against the simulated test set.

Run with PYTHONPATH holding python/ and the built library and the simulator's VISA folder on the
loader path. The simulated phone transmits at most 23.8 dBm and at least -56.5 dBm, behind a
cable of 0.5 dB, which the path-loss compensation of the test makes up."""

import time
import unittest

import zolvane

ADDRESS = 14
CABLE_LOSS = 0.5


class PhoneTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = zolvane.load()

    def step(self, name, *arguments):
        status = getattr(self.lib, name)(*arguments)
        self.assertEqual(status, zolvane.SUCCESS,
                         "%s%r: %s" % (name, arguments, zolvane.status_name(status)))

    def reading(self, name):
        """The first reading that is not NO_RESULT_VALUE, within two seconds."""
        deadline = time.monotonic() + 2.0
        while True:
            status, value = zolvane.read(getattr(self.lib, name))
            self.assertEqual(status, zolvane.SUCCESS, "%s: %s" % (name, zolvane.status_name(status)))
            if value != zolvane.NO_RESULT_VALUE or time.monotonic() > deadline:
                return value
            time.sleep(0.02)

    def test_register_call_measure_release(self):
        self.step("Zolvane_InitTester", ADDRESS)
        try:
            self.step("Zolvane_ResetTester")
            self.step("Zolvane_ConfigCDMA2K", 0)
            self.step("Zolvane_2K_SetLoss", CABLE_LOSS)
            self.step("Zolvane_2K_SetCellPower", -60.0)
            self.step("Zolvane_2K_SetNetwork", 1, 2)
            self.step("Zolvane_2K_OpenAct")
            self.step("Zolvane_2K_SetChannel", 384, 0)
            self.step("Zolvane_SetOperMode", zolvane.OperMode.CALL)
            self.step("Zolvane_2K_SyncNetwork", 5)
            self.step("Zolvane_SetOrig")
            self.step("Zolvane_CheckConnect", 5)

            self.step("Zolvane_2K_InitMaxPower", 10)
            self.assertAlmostEqual(self.reading("Zolvane_2K_MeasMaxPower"), 23.8, delta=0.5)
            self.step("Zolvane_2K_AbortMaxPower")

            self.step("Zolvane_2K_InitFER")
            fer = self.reading("Zolvane_2K_MeasFER")
            self.assertGreaterEqual(fer, 0.0)
            self.assertLess(fer, 1.0)  # the cell is 47 dB above the phone's sensitivity
            self.step("Zolvane_2K_AbortFER")

            self.step("Zolvane_2K_InitMinPower")
            self.assertAlmostEqual(self.reading("Zolvane_2K_MeasMinPower"), -56.5, delta=0.5)
            self.step("Zolvane_2K_AbortMinPower")

            self.step("Zolvane_EndCall")
            # The call is gone: no connection within a second.
            self.assertEqual(self.lib.Zolvane_CheckConnect(1), zolvane.TIMEOUT_OR_NO_CONNECTION)
        finally:
            self.step("Zolvane_ReleaseTester")

    def test_a_wrong_address_is_a_visa_error(self):
        status = self.lib.Zolvane_InitTester(ADDRESS + 1)
        try:
            self.assertLess(status, 0, zolvane.status_name(status))
        finally:
            self.lib.Zolvane_ReleaseTester()


if __name__ == "__main__":
    unittest.main()
