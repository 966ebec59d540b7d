/*
 * Zolvane: drives one CDMA2000 test set (a base-station emulator) over GPIB through VISA.
 *
 * Every function performs one step of a phone test by sending a fixed, ordered list of SCPI
 * commands on the one test-set session opened by Zolvane_InitTester. Every function returns
 * an int status:
 *   0                         success
 *   negative                  a VISA error, passed back unchanged (VI_ERROR_TMO, VI_ERROR_IO, ...)
 *   positive, not 1           a VISA warning or completion code; also counts as failure
 *   1                         the library's own: registration time-out (Zolvane_2K_SyncNetwork)
 *                             or no connection (Zolvane_CheckConnect)
 *   ZOLVANE_ERROR_LIBRARY_NFOUND  no VISA library could be loaded
 *   ZOLVANE_ERROR_SYSTEM_ERROR    the VISA library lacks an entry point
 *   ZOLVANE_ERROR_INV_PARAMETER   an argument was refused before anything was sent
 *   ZOLVANE_ERROR_USER_BUF        a null out-parameter was refused before anything was sent
 *
 * "Chain" below means: the commands are sent in order while each succeeds; the first failure
 * ends the chain and is returned; after a fully successful chain one "SYST:ERR?" query takes
 * one entry out of the test set's error queue (its answer and status are dropped).
 *
 * Measured values come back through double out-parameters; NO_RESULT_VALUE (99999.0) means the
 * test set answered NAN. On a failed query the out-parameter is left unchanged.
 *
 * Call the library from one thread at a time.
 */
#ifndef ZOLVANE_H
#define ZOLVANE_H

#if defined(_WIN32)
#  if defined(ZOLVANE_BUILDING)
#    define ZOLVANE_API __declspec(dllexport)
#  else
#    define ZOLVANE_API __declspec(dllimport)
#  endif
#  define ZOLVANE_CALL __cdecl
#elif defined(__GNUC__)
#  define ZOLVANE_API __attribute__((visibility("default")))
#  define ZOLVANE_CALL
#else
#  define ZOLVANE_API
#  define ZOLVANE_CALL
#endif

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#else
#include <stdint.h>
#endif

/* The value stored when the test set answers NAN (no result yet). */
#define NO_RESULT_VALUE 99999.0

/* Statuses the library itself returns (the VISA values of the same meaning). */
#define ZOLVANE_SUCCESS 0
#define ZOLVANE_TIMEOUT_OR_NO_CONNECTION 1
#define ZOLVANE_ERROR_SYSTEM_ERROR ((int32_t)0xBFFF0000)
#define ZOLVANE_ERROR_LIBRARY_NFOUND ((int32_t)0xBFFF009E)
#define ZOLVANE_ERROR_USER_BUF ((int32_t)0xBFFF0071)
#define ZOLVANE_ERROR_INV_PARAMETER ((int32_t)0xBFFF0078)

/* Operating modes of Zolvane_SetOperMode. Any other value selects CELL. The type is 32 bits wide
 * (int32_t in C++, an int-sized enum in C), so callers may pass any int and it arrives unchanged. */
#ifdef __cplusplus
enum OperMode : int32_t {
#else
typedef enum OperMode {
#endif
  OPER_MODE_CALL = 0,
  OPER_MODE_CELL = 1,
  OPER_MODE_TEST = 2,
  OPER_MODE_OFF = 3,
  OPER_MODE_PBT = 4,
  OPER_MODE_PBPT = 5,
  OPER_MODE_GBTT = 6,
  OPER_MODE_CW = 7
#ifdef __cplusplus
};
#else
} OperMode;
#endif

/* ---- Session ---------------------------------------------------------------------------- */

/* Opens the VISA default resource manager and "GPIB0::<nGpibAddress>::INSTR", sets the I/O
 * time-out to 20000 ms and sends "*CLS". Nothing is closed when a step fails:
 * Zolvane_ReleaseTester closes what a failed open left. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_InitTester(int nGpibAddress);
/* Closes the test-set session, then the resource manager (alone, after an open whose viOpen
 * failed). 0 without any VISA call when nothing is open. Both handles are cleared whatever the
 * status. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_ReleaseTester(void);
/* Sends "*RST" and returns the status of that write. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_ResetTester(void);

/* ---- Cell configuration ----------------------------------------------------------------- */

/* "*CLS", stops the CFER, DAP, CPOW, CAPP, ATXP, FM and AFAN measurements, AFG off, display
 * TRACK, then Zolvane_2K_SetBand(nBandSel) and Zolvane_2K_SetRFPort(0). No error-queue read of
 * its own. A band index outside 0..3 is refused (ZOLVANE_ERROR_INV_PARAMETER, nothing sent). */
ZOLVANE_API int ZOLVANE_CALL Zolvane_ConfigCDMA2K(int nBandSel);
/* Chain: operating mode CALL, system DIG2000, "CALL:BAND <name>" (0 USC, 1 USPC, 2 SEC800,
 * 3 USPC1900), protocol PREV6, radio configuration F1R1, paging and fundamental channel off.
 * The band is remembered once its command was written. Outside 0..3: refused, nothing sent. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetBand(int nBandSel);
/* Chain: a flat path-loss table, 18 frequencies all with gain -lfLoss dB (two decimals), and
 * compensation on. A loss that is not finite or too large for the command is refused. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetLoss(double lfLoss);
/* Chain: "RFGenerator:OUTPut IO" for 0, "RFGenerator:OUTPut OUT" for any other value. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetRFPort(int nPortType);
/* Chain: sync channel on at -16, paging on at -12, fundamental channel on at -15.6. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_OpenAct(void);
/* Chain: "CALL:POW <lfCellPower, two decimals>DBM". A value that is not finite is refused. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetCellPower(double lfCellPower);
/* Chain: "CALL:SID <nSID>", "CALL:NID <nNID>". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetNetwork(int nSID, int nNID);
/* Chain: "CALL:OPER:MODE <mode>"; a value outside the enumeration selects CELL. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperMode(OperMode mode);
/* Zolvane_SetOperMode(OPER_MODE_CALL). */
ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperModeCALL(void);
/* Zolvane_SetOperMode(OPER_MODE_CW). */
ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperModeCW(void);
/* Chain: nMode 0 sends "CALL:CHAN <nChannel>"; 1 sets the RF generator to the channel's reverse
 * (phone transmit) frequency for the current band through Zolvane_SetCarrierFrequency; 2 does
 * both, channel first. Any other nMode sends nothing but the error-queue read and returns 0. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetChannel(int nChannel, int nMode);
/* Chain: "CALL:RFG:FREQ <lfFrequency, three decimals>MHz". A value that is not finite is
 * refused. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_SetCarrierFrequency(double lfFrequency);

/* ---- Call control ----------------------------------------------------------------------- */

/* "CALL:REG", then polls "CALL:MS:REP:ESN?" every 0.5 s until the ESN is longer than 5
 * characters or nTimeOut seconds have passed. 0 registered; 1 time-out (also when the limit was
 * reached on the poll that found the ESN); a VISA status when a query failed. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SyncNetwork(int nTimeOut);
/* Sends "CALL:ORIG" and returns the status of that write. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOrig(void);
/* Polls "CALL:CONN:STAT?" (with "*CLS", "SYST:ERR?" and 0.05 s between polls) until it answers
 * 1 or nTimeOut seconds have passed. 0 connected, 1 otherwise, never a VISA status. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_CheckConnect(int nTimeOut);
/* "CALL:END", polls "CALL:CONN:STAT?" for up to 5 s until it answers 0, then always "*RST".
 * 0 when the call dropped or the 5 s passed; a VISA status when a write or query failed. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_EndCall(void);
/* "CALL:SET:SYST:TYPE DIG2000"; to the current band: Zolvane_2K_SetChannel(nChannel, 0); to
 * another band: "CALL:SET:BAND", "CALL:SET:CHAN", "CALL:HAND", the band remembered, a 2.0 s
 * wait. Ends with an error-queue read. A band index outside 0..3 is refused, nothing sent. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_HandOff(int nBandSel, int nChannel);

/* ---- Measurements ----------------------------------------------------------------------- */
/* Every Meas and Fetch refuses a null out-parameter with ZOLVANE_ERROR_USER_BUF before anything
 * is sent; on a failed fetch the out-parameter is left unchanged and nothing more is sent. */

/* Chain: pilot -7, fundamental channel -15.6, CFER with 95 % confidence, requirement 5,
 * count 50..1000, continuous, no time-out; starts CFER. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitFER(void);
/* Chain: "FETC:CFER:RAT?" into *lfFER (exactly "NAN" gives NO_RESULT_VALUE), then "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasFER(double *lfFER);
/* Chain: "INIT:CFER:OFF", "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortFER(void);

/* Chain: pilot -7, fundamental channel -7.4, power control UP, DAP counting nTestCount times,
 * continuous, no time-out; starts DAP. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitMaxPower(int nTestCount);
/* Chain: "FETC:DAP?" into *lfMeasPower (the field after the first comma; any "NAN" gives
 * NO_RESULT_VALUE), then "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasMaxPower(double *lfMeasPower);
/* Chain: power control ACT, "INIT:DAP:OFF", "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortMaxPower(void);
/* Chain: stops CPOW, pilot -7, fundamental channel -7.4, drop timer off, power control UP, DAP
 * counting off, continuous, no time-out. Starts nothing. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_ConfigMeasDAP(void);
/* Chain: "INIT:DAP:OFF", "INIT:CPOW:OFF", "INIT:DAP". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_InitDAPower(void);
/* As Zolvane_2K_MeasMaxPower, into *lfMeas. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_FetchDAPower(double *lfMeas);

/* Chain: pilot -7, fundamental channel -7.4, drop timer off, power control DOWN, CPOW single,
 * continuous, normal speed, no time-out; starts CPOW. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitMinPower(void);
/* Chain: "FETC:CPOW?" into *lfMeasPower (as Zolvane_2K_MeasMaxPower), then "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasMinPower(double *lfMeasPower);
/* Chain: power control ACT, drop timer on, "INIT:CPOW:OFF", "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortMinPower(void);
/* Chain: as Zolvane_2K_InitMinPower but power control ALT, the drop timer untouched, and CPOW
 * stopped before it is started. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitRolop(void);
/* As Zolvane_2K_MeasMinPower. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasRolop(double *lfMeasPower);
/* Chain: power control ACT, "INIT:CPOW:OFF", "*CLS". */
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortRolop(void);
/* As Zolvane_2K_InitMinPower, with the long form "SET:CPOW:TIM:STATE OFF". No Abort of its own. */
ZOLVANE_API int ZOLVANE_CALL Zolvane_InitCPower(void);
/* Zolvane_2K_MeasRolop(lfMeas). */
ZOLVANE_API int ZOLVANE_CALL Zolvane_FetchCPower(double *lfMeas);

#ifdef __cplusplus
}
#endif

#endif /* ZOLVANE_H */
