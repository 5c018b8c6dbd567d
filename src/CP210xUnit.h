// The CP210x manufacturing library: the fifteen operations this program uses.
//
// Every implementation (the chip vendor's CP210xManufacturing.dll, our libusb
// library, the simulated library) exports exactly these C functions with this
// binary interface, so one can replace another without rebuilding the program.
//
// Common rules:
// - Every function returns a status: CP210x_SUCCESS (0) or a failure code.
// - A handle comes from a successful CP210x_Open and is owned by the caller
//   until it passes it to CP210x_Close, which releases it exactly once.
// - Text buffers are 256 bytes and owned by the caller. The library writes the
//   text's bytes; it may or may not end them with a NUL.
// - Out-parameters are left alone on failure unless said otherwise.
#ifndef KORLINTH_CP210XUNIT_H
#define KORLINTH_CP210XUNIT_H

#include <cstdint>

// WINAPI: __stdcall on 32-bit Windows (the callee pops the arguments); every
// other target has a single calling convention.
#if defined(_WIN32) && !defined(_WIN64)
#define CP210X_API __stdcall
#else
#define CP210X_API
#endif

#if defined(_WIN32) && defined(CP210X_BUILDING_LIBRARY)
#define CP210X_EXPORT __declspec(dllexport)
#elif defined(CP210X_BUILDING_LIBRARY)
#define CP210X_EXPORT __attribute__((visibility("default")))
#else
#define CP210X_EXPORT
#endif

// The Windows names of the interface's types.
typedef int32_t CP210x_STATUS;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef void* HANDLE;

// Status codes.
constexpr CP210x_STATUS CP210x_SUCCESS = 0;
constexpr CP210x_STATUS CP210x_INVALID_HANDLE = 1;
constexpr CP210x_STATUS CP210x_INVALID_PARAMETER = 2;
constexpr CP210x_STATUS CP210x_DEVICE_IO_FAILED = 3;
constexpr CP210x_STATUS CP210x_FUNCTION_NOT_SUPPORTED = 4;
constexpr CP210x_STATUS CP210x_GLOBAL_DATA_ERROR = 5;
constexpr CP210x_STATUS CP210x_FILE_ERROR = 6;
constexpr CP210x_STATUS CP210x_COMMAND_FAILED = 8;
constexpr CP210x_STATUS CP210x_INVALID_ACCESS_TYPE = 9;
constexpr CP210x_STATUS CP210x_DEVICE_NOT_FOUND = 255;

constexpr DWORD CP210x_RETURN_SERIAL_NUMBER = 0;  // options of CP210x_GetProductString
constexpr DWORD CP210x_RETURN_DESCRIPTION = 1;
constexpr DWORD CP210x_RETURN_FULL_PATH = 2;
constexpr DWORD CP210x_MAX_TEXT = 256;  // size of every text buffer
constexpr BYTE CP210x_CP2101 = 1;       // part codes of CP210x_GetPartNumber
constexpr BYTE CP210x_CP2102 = 2;
constexpr BYTE CP210x_CP2103 = 3;

extern "C" {

// Writes the number of attached devices to *numDevices (32 bits) and takes the
// snapshot that the index-based calls below refer to.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetNumDevices(DWORD* numDevices);

// Writes a NUL-terminated text about device `deviceIndex` into the caller's
// 256-byte buffer, without asking the device: its serial number (option 0),
// its description (1) or its path (2). Other options: INVALID_PARAMETER.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetProductString(DWORD deviceIndex, void* buffer256,
                                                               DWORD options);

// Opens device `deviceIndex`; on success *handle is the caller's until CP210x_Close.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_Open(DWORD deviceIndex, HANDLE* handle);

// Releases the handle. Succeeds for a device reset since it was opened.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_Close(HANDLE handle);

// Write the stored product string / serial number into the caller's 256-byte
// buffer and its length in characters into *length; with convertToAscii the
// text is 8-bit characters.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetDeviceProductString(HANDLE handle, void* buffer256,
                                                                     BYTE* length,
                                                                     BOOL convertToAscii);
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetDeviceSerialNumber(HANDLE handle, void* buffer256,
                                                                    BYTE* length,
                                                                    BOOL convertToAscii);

// Write the USB vendor id, product id and release (major in the high byte).
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetDeviceVid(HANDLE handle, WORD* vid);
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetDevicePid(HANDLE handle, WORD* pid);
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetDeviceVersion(HANDLE handle, WORD* version);

// Write the raw max-power byte of the configuration, and the part code.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetMaxPower(HANDLE handle, BYTE* maxPower);
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_GetPartNumber(HANDLE handle, BYTE* partNumber);

// Store `length` characters of the caller's text (not NUL-terminated) as the
// product string / serial number; with convertToUnicode the text is 8-bit.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_SetProductString(HANDLE handle, void* text,
                                                               BYTE length, BOOL convertToUnicode);
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_SetSerialNumber(HANDLE handle, void* text,
                                                              BYTE length, BOOL convertToUnicode);

// Stores a new USB product id; it shows after the device restarts.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_SetPid(HANDLE handle, WORD pid);

// Restarts the device so that written values take effect. SUCCESS: it
// restarted, or it came back re-enumerated with its new values (the handle
// then reports DEVICE_NOT_FOUND to everything but CP210x_Close).
// DEVICE_NOT_FOUND: it left and did not come back (unplugged, or dead). The
// handle stays the caller's to close in every case.
CP210X_EXPORT CP210x_STATUS CP210X_API CP210x_Reset(HANDLE handle);

}  // extern "C"

#endif  // KORLINTH_CP210XUNIT_H
