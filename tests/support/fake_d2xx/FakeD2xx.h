// A stand-in for the converter vendor's D2XX library, built as a shared
// library (a DLL on Windows) from test sources. It exports the library's
// FT_* functions under their own names and calling convention, and these
// FakeD2xx_* functions with which a test, linked against it, scripts its
// devices: descriptions and serial numbers, bytes waiting to be read, a
// status for any call to fail with, how many bytes a write takes. It logs
// every FT_* call with its arguments, the device given by its index.
//
// On Windows a device may instead forward its bytes to a COM port, opened
// when the device is opened: a program that does not script the fake (the
// installed wizard under Wine) gets one such device from the environment,
// FAKE_D2XX_DEVICE="description|serial|\\.\COMn".
#pragma once

#if defined(_WIN32)
#if defined(FAKE_D2XX_BUILD)
#define FAKE_D2XX_API extern "C" __declspec(dllexport)
#else
#define FAKE_D2XX_API extern "C" __declspec(dllimport)
#endif
#else
#define FAKE_D2XX_API extern "C" __attribute__((visibility("default")))
#endif

// No devices, no failures, an empty log, writes taken whole; devices left
// open are closed (their handles become invalid).
FAKE_D2XX_API void FakeD2xx_Reset(void);
// Adds a device; its index.
FAKE_D2XX_API int FakeD2xx_AddDevice(const char* description, const char* serial);
// Every later call of `function` ("FT_Open", ...) returns `status` (0: works
// again) without doing anything.
FAKE_D2XX_API void FakeD2xx_Fail(const char* function, unsigned status);
// Bytes for the device's reads to return.
FAKE_D2XX_API void FakeD2xx_Input(int device, const unsigned char* bytes, unsigned count);
// Everything written to the device so far (the text stays valid until the
// next FakeD2xx_* call).
FAKE_D2XX_API const char* FakeD2xx_Output(int device, unsigned* size);
// Each FT_Write takes at most `count` bytes.
FAKE_D2XX_API void FakeD2xx_SetWriteLimit(unsigned count);
// What FT_GetStatus reports as waiting to go out and as events.
FAKE_D2XX_API void FakeD2xx_SetStatus(int device, unsigned txQueue, unsigned events);
// The calls since the last reset or take, one a line, e.g.
// "FT_SetBaudRate dev=0 125000"; the log is then cleared.
FAKE_D2XX_API const char* FakeD2xx_TakeLog(void);
// Devices opened and not yet closed.
FAKE_D2XX_API int FakeD2xx_OpenCount(void);
