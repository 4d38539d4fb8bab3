/*
 * MXUPD: USB DFU 1.1 class requests and descriptor access.
 *
 * Every function but MXUPD_Open takes the address of the caller's handle
 * variable. MXUPD_Detach (on success) and MXUPD_Getstatus (on success, when it
 * reads state 7 or 8) close the device and write a null handle back into it.
 * MXUPD_Close leaves the variable as it is; do not use it afterwards.
 *
 * Status codes: MXUPD_OK, MXUPD_ERR_ARGUMENT, MXUPD_ERR_NOT_FOUND (MXUPD_Open:
 * no device at that path, yet), or a failure code of the driver-interface
 * library passed up unchanged. MXUPD_Upload returns the
 * thread's errno instead when its request fails. Treat every value other than
 * MXUPD_OK as failure.
 */
#ifndef BRISK_MXUPD_H
#define BRISK_MXUPD_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define MXUPD_API __attribute__((visibility("default")))
#else
#define MXUPD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MXUPD_OK 0x12340000u
#define MXUPD_ERR_ARGUMENT 0x12340002u
#define MXUPD_ERR_NOT_FOUND 0x12340003u

/* DFU 1.1 request codes. */
#define MXUPD_REQ_DETACH 0
#define MXUPD_REQ_DNLOAD 1
#define MXUPD_REQ_UPLOAD 2
#define MXUPD_REQ_GETSTATUS 3
#define MXUPD_REQ_CLRSTATUS 4
#define MXUPD_REQ_GETSTATE 5
#define MXUPD_REQ_ABORT 6

/* DFU 1.1 states (bState). */
#define MXUPD_STATE_APP_IDLE 0
#define MXUPD_STATE_APP_DETACH 1
#define MXUPD_STATE_DFU_IDLE 2
#define MXUPD_STATE_DFU_DNLOAD_SYNC 3
#define MXUPD_STATE_DFU_DNBUSY 4
#define MXUPD_STATE_DFU_DNLOAD_IDLE 5
#define MXUPD_STATE_DFU_MANIFEST_SYNC 6
#define MXUPD_STATE_DFU_MANIFEST 7
#define MXUPD_STATE_DFU_MANIFEST_WAIT_RESET 8
#define MXUPD_STATE_DFU_UPLOAD_IDLE 9
#define MXUPD_STATE_DFU_ERROR 10

/* Detach time-out sent with DETACH, in milliseconds. */
#define MXUPD_DETACH_TIMEOUT_MS 5000

typedef void* MXUPD_HANDLE;

/* The six bytes of the GETSTATUS answer. */
typedef struct DfuStatusRecord {
  uint8_t bStatus;
  uint8_t bwPollTimeout[3]; /* 24-bit little-endian, milliseconds */
  uint8_t bState;
  uint8_t iString;
} DfuStatusRecord;

/* Packed as on the wire: read the 16-bit fields by value, never bind a reference or pointer to
 * them. */
#pragma pack(push, 1)
/* The DFU functional descriptor (type 0x21). */
typedef struct DfuFunctionalDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bmAttributes;
  uint16_t wDetachTimeOut;
  uint16_t wTransferSize;
  uint16_t bcdDFUVersion;
} DfuFunctionalDescriptor;

typedef struct UsbDeviceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
} UsbDeviceDescriptor;

typedef struct UsbConfigurationDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t wTotalLength;
  uint8_t bNumInterfaces;
  uint8_t bConfigurationValue;
  uint8_t iConfiguration;
  uint8_t bmAttributes;
  uint8_t bMaxPower;
} UsbConfigurationDescriptor;
#pragma pack(pop)

typedef struct UsbInterfaceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
} UsbInterfaceDescriptor;

#ifdef __cplusplus
static_assert(sizeof(DfuStatusRecord) == 6, "DfuStatusRecord is 6 bytes");
static_assert(sizeof(DfuFunctionalDescriptor) == 9, "DfuFunctionalDescriptor is 9 bytes");
static_assert(offsetof(DfuFunctionalDescriptor, bcdDFUVersion) == 7, "bcdDFUVersion at 7");
static_assert(sizeof(UsbDeviceDescriptor) == 18, "UsbDeviceDescriptor is 18 bytes");
static_assert(offsetof(UsbDeviceDescriptor, idVendor) == 8, "idVendor at 8");
static_assert(sizeof(UsbConfigurationDescriptor) == 9, "UsbConfigurationDescriptor is 9 bytes");
static_assert(sizeof(UsbInterfaceDescriptor) == 9, "UsbInterfaceDescriptor is 9 bytes");
#endif

/* Class requests. */
MXUPD_API uint32_t MXUPD_Detach(MXUPD_HANDLE* handle, uint8_t interfaceNumber);
MXUPD_API uint32_t MXUPD_Dnload(MXUPD_HANDLE* handle, const void* buffer, uint32_t length,
                                uint32_t blockNumber);
MXUPD_API uint32_t MXUPD_Upload(MXUPD_HANDLE* handle, void* buffer, uint32_t length,
                                uint32_t blockNumber);
MXUPD_API uint32_t MXUPD_Getstatus(MXUPD_HANDLE* handle, DfuStatusRecord* status);
MXUPD_API uint32_t MXUPD_Clrstatus(MXUPD_HANDLE* handle);
MXUPD_API uint32_t MXUPD_Getstate(MXUPD_HANDLE* handle, uint8_t* state);
MXUPD_API uint32_t MXUPD_Abort(MXUPD_HANDLE* handle);

/* Device and descriptor access; indices are zero-based. */
MXUPD_API uint32_t MXUPD_Open(const char* deviceName, MXUPD_HANDLE* handle);
MXUPD_API uint32_t MXUPD_Close(MXUPD_HANDLE* handle);
MXUPD_API uint32_t MXUPD_GetDeviceDescriptor(MXUPD_HANDLE* handle, UsbDeviceDescriptor* descriptor);
MXUPD_API uint32_t MXUPD_GetNbOfConfigurations(MXUPD_HANDLE* handle, uint32_t* count);
MXUPD_API uint32_t MXUPD_GetConfigurationDescriptor(MXUPD_HANDLE* handle, uint32_t configuration,
                                                    UsbConfigurationDescriptor* descriptor);
MXUPD_API uint32_t MXUPD_GetNbOfInterfaces(MXUPD_HANDLE* handle, uint32_t configuration,
                                           uint32_t* count);
MXUPD_API uint32_t MXUPD_GetNbOfAlternates(MXUPD_HANDLE* handle, uint32_t configuration,
                                           uint32_t interfaceIndex, uint32_t* count);
MXUPD_API uint32_t MXUPD_GetInterfaceDescriptor(MXUPD_HANDLE* handle, uint32_t configuration,
                                                uint32_t interfaceIndex, uint32_t alternate,
                                                UsbInterfaceDescriptor* descriptor);
MXUPD_API uint32_t MXUPD_GetStringDescriptor(MXUPD_HANDLE* handle, uint32_t index, char* buffer,
                                             uint32_t size);
MXUPD_API uint32_t MXUPD_SelectCurrentConfiguration(MXUPD_HANDLE* handle, uint32_t configuration,
                                                    uint32_t interfaceIndex, uint32_t alternate);

/* The DFU functional descriptor of the last alternate setting of the last interface of
 * configuration 0, that interface's bInterfaceNumber and its number of alternate settings. */
MXUPD_API uint32_t MXUPD_GetDFUDescriptor(MXUPD_HANDLE* handle, uint32_t* interfaceNumber,
                                          uint32_t* nbOfAlternates,
                                          DfuFunctionalDescriptor* descriptor);

#ifdef __cplusplus
}
#endif

#endif
