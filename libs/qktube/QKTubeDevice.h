/*
 * QKTubeDevice: the USB driver-interface library over libusb-1.0.
 *
 * A device is named by a path of our own form:
 *     USB#VID_vvvv&PID_pppp#<bus>-<port>[.<port>...]#{interface-class identifier}
 * for example USB#VID_0483&PID_A19B#1-4.2#{3FE809AB-FB91-4CB5-A643-69670D52366E}.
 * Letters are compared without regard to case, so the text survives upper-casing.
 * The path names the device by where it is plugged in; the identifiers must
 * match what the device at that place reports.
 *
 * Every function returns QK_OK on success or one of the QK_ERR_ codes below,
 * and on failure also leaves a matching errno value for the calling thread.
 * Indices (configuration, interface, alternate setting) are zero-based
 * positions in the device's descriptors, not bInterfaceNumber values.
 */
#ifndef BRISK_QKTUBEDEVICE_H
#define BRISK_QKTUBEDEVICE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define QKTUBE_API __attribute__((visibility("default")))
#else
#define QKTUBE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QK_OK 0x12340000u
#define QK_ERR_ARGUMENT 0x12348001u  /* null pointer, bad size or malformed path (EINVAL) */
#define QK_ERR_HANDLE 0x12348002u    /* null, closed or unknown handle (EBADF) */
#define QK_ERR_NOT_FOUND 0x12348003u /* no device at that path (ENOENT) */
#define QK_ERR_ACCESS 0x12348004u    /* no permission to open the device (EACCES) */
#define QK_ERR_NO_DEVICE 0x12348005u /* the device has gone (ENODEV) */
#define QK_ERR_STALL 0x12348006u     /* the device refused the request (EPIPE) */
#define QK_ERR_TIMEOUT 0x12348007u   /* no answer within the transfer time-out (ETIMEDOUT) */
#define QK_ERR_INDEX \
  0x12348008u /* configuration, interface or alternate index out of range (ERANGE) */
#define QK_ERR_NOT_PRESENT 0x12348009u /* no descriptor of that kind there (ENOENT) */
#define QK_ERR_SHORT 0x1234800Au       /* the data stage moved fewer bytes than asked (EIO) */
#define QK_ERR_BUFFER \
  0x1234800Bu /* the caller's buffer is too small; it holds a cut copy (ENOBUFS) */
#define QK_ERR_BAD_DESCRIPTOR 0x1234800Cu /* the device sent a malformed descriptor (EPROTO) */
#define QK_ERR_BUSY 0x1234800Du           /* the interface is held by someone else (EBUSY) */
#define QK_ERR_INIT 0x1234800Eu           /* libusb could not be initialised (EIO) */
#define QK_ERR_IO 0x1234800Fu             /* any other transfer or system failure (EIO) */

/* Interface-class identifier texts of devices in DFU mode, 38 characters each. */
#define QK_DFU_CLASS_PRIMARY "{3FE809AB-FB91-4CB5-A643-69670D52366E}"
#define QK_DFU_CLASS_SECONDARY "{CB979912-5029-420A-AEB1-34FC0A7D5726}"

/* requestKind of a class request addressed to an interface. */
#define QK_REQUEST_CLASS_INTERFACE 0x1B

/* One class request on the default control pipe; the data stage travels separately. */
typedef struct ClassRequest {
  uint16_t requestKind; /* always QK_REQUEST_CLASS_INTERFACE */
  uint16_t reserved0;
  uint32_t dataToHost; /* 0: host to device (or no data), 1: device to host */
  uint8_t bRequest;
  uint8_t reserved1;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t reserved2;
  uint32_t dataLength; /* wLength; at most 65535 */
} ClassRequest;

#ifdef __cplusplus
static_assert(sizeof(ClassRequest) == 20, "ClassRequest is 20 bytes");
static_assert(offsetof(ClassRequest, requestKind) == 0, "requestKind at 0");
static_assert(offsetof(ClassRequest, dataToHost) == 4, "dataToHost at 4");
static_assert(offsetof(ClassRequest, bRequest) == 8, "bRequest at 8");
static_assert(offsetof(ClassRequest, wValue) == 10, "wValue at 10");
static_assert(offsetof(ClassRequest, wIndex) == 12, "wIndex at 12");
static_assert(offsetof(ClassRequest, dataLength) == 16, "dataLength at 16");
#else
_Static_assert(sizeof(ClassRequest) == 20, "ClassRequest is 20 bytes");
_Static_assert(offsetof(ClassRequest, dataLength) == 16, "dataLength at 16");
#endif

typedef struct QKDevice* QKDeviceHandle;

/* Opens the device at path. reserved must be null. */
QKTUBE_API uint32_t QKDevice_Open(const char* path, QKDeviceHandle* handle, void* reserved);
/* Releases a claimed interface and closes the device; the handle is invalid afterwards. */
QKTUBE_API uint32_t QKDevice_Close(QKDeviceHandle handle);

/* Performs one class request: bmRequestType 0x21 or 0xA1; exactly dataLength bytes must move.
 * data may be null only when dataLength is 0. */
QKTUBE_API uint32_t QKDevice_ControlPipeRequest(QKDeviceHandle handle, const ClassRequest* request,
                                                void* data);

/* 18-byte standard device descriptor. */
QKTUBE_API uint32_t QKDevice_GetDeviceDescriptor(QKDeviceHandle handle, void* descriptor);
QKTUBE_API uint32_t QKDevice_GetNbOfConfigurations(QKDeviceHandle handle, uint32_t* count);
/* 9-byte standard configuration descriptor (the header, with wTotalLength). */
QKTUBE_API uint32_t QKDevice_GetConfigurationDescriptor(QKDeviceHandle handle,
                                                        uint32_t configuration, void* descriptor);
QKTUBE_API uint32_t QKDevice_GetNbOfInterfaces(QKDeviceHandle handle, uint32_t configuration,
                                               uint32_t* count);
QKTUBE_API uint32_t QKDevice_GetNbOfAlternates(QKDeviceHandle handle, uint32_t configuration,
                                               uint32_t interfaceIndex, uint32_t* count);
/* 9-byte standard interface descriptor. */
QKTUBE_API uint32_t QKDevice_GetInterfaceDescriptor(QKDeviceHandle handle, uint32_t configuration,
                                                    uint32_t interfaceIndex, uint32_t alternate,
                                                    void* descriptor);
/* String index (1..255) as zero-terminated UTF-8 text. A text that does not fit is cut to
 * size - 1 bytes (never inside a character) and QK_ERR_BUFFER is returned. */
QKTUBE_API uint32_t QKDevice_GetStringDescriptor(QKDeviceHandle handle, uint32_t index,
                                                 char* buffer, uint32_t size);
/* Makes the configuration current, claims the interface and selects the alternate setting. */
QKTUBE_API uint32_t QKDevice_SelectCurrentConfiguration(QKDeviceHandle handle,
                                                        uint32_t configuration,
                                                        uint32_t interfaceIndex,
                                                        uint32_t alternate);

/* Search levels of QKDevice_GetDescriptor. */
#define QK_LEVEL_CONFIGURATION \
  0 /* class descriptors between the configuration and its first interface */
#define QK_LEVEL_INTERFACE 1 /* class descriptors of one alternate setting of one interface */

/* Copies at most size bytes of a class-specific descriptor of the given type found at the given
 * place. occurrence 0 is the first of that type; reserved must be 0. The interface and alternate
 * indices are ignored at QK_LEVEL_CONFIGURATION. */
QKTUBE_API uint32_t QKDevice_GetDescriptor(QKDeviceHandle handle, uint32_t level, uint32_t type,
                                           uint32_t configuration, uint32_t interfaceIndex,
                                           uint32_t alternate, uint32_t occurrence,
                                           uint32_t reserved, void* buffer, uint32_t size);

/* Path of the index-th present device with a DFU interface (class 0xFE, subclass 1), built with
 * QK_DFU_CLASS_PRIMARY. QK_ERR_NOT_FOUND past the last one. */
QKTUBE_API uint32_t QKDevice_GetDfuDevicePath(uint32_t index, char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
