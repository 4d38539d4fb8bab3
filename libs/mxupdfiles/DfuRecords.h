/*
 * Records shared by the DFU image-file library (MXUPDFILES) and the DFU operation
 * library (MXUPDPRT): the memory map of a device (TargetMap, SectorMap), one block of an
 * image (ImageElement) and the record of a background operation (OperationRecord).
 *
 * Every record is packed, fields in the documented order. Pointers are native: on a
 * 64-bit build every pointer is 8 bytes, so each field behind a pointer sits 4 bytes
 * further on than in the 32-bit layout (TargetMap is 273 bytes instead of 269,
 * ImageElement 16 instead of 12, OperationRecord 352 instead of 348). The static_asserts
 * below pin every offset for the pointer size of the build.
 *
 * Packed records: copy multi-byte fields by value; never bind a pointer or reference to one.
 */
#ifndef BRISK_DFURECORDS_H
#define BRISK_DFURECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles. */
typedef struct MxupdfilesFile* MXUPDFILES_FILE;       /* an opened package file */
typedef struct MxupdfilesImage* MXUPDFILES_IMAGE;     /* one image (target) with its elements */
typedef struct MxupdprtOperation* MXUPDPRT_OPERATION; /* one background operation */

/* Operation codes (OperationRecord.operation and MXUPDFILES_FilterImageForOperation). */
#define OPERATION_DETACH 0
#define OPERATION_LEAVE 1
#define OPERATION_UPLOAD 2
#define OPERATION_ERASE 3
#define OPERATION_DNLOAD 4

/* Sector flags (SectorMap.flags). */
#define SECTOR_READABLE 0x01
#define SECTOR_ERASABLE 0x02
#define SECTOR_WRITABLE 0x04

/* Longest target name with its terminator, and the device-path buffer of a record. */
#define DFU_TARGET_NAME_SIZE 260
#define DFU_DEVICE_PATH_SIZE 260

#pragma pack(push, 1)

/* An interface-class identifier as the system stores it (16 bytes). */
typedef struct DfuGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} DfuGuid;

/* Initialisers of the two DFU interface-class identifiers a launch record carries:
 * {3FE809AB-FB91-4CB5-A643-69670D52366E} and {CB979912-5029-420A-AEB1-34FC0A7D5726}. */
#define DFU_INTERFACE_CLASS_1                                                         \
  {                                                                                   \
    0x3FE809ABu, 0xFB91u, 0x4CB5u, { 0xA6, 0x43, 0x69, 0x67, 0x0D, 0x52, 0x36, 0x6E } \
  }
#define DFU_INTERFACE_CLASS_2                                                         \
  {                                                                                   \
    0xCB979912u, 0x5029u, 0x420Au, { 0xAE, 0xB1, 0x34, 0xFC, 0x0A, 0x7D, 0x57, 0x26 } \
  }

/* One sector of a target. */
typedef struct SectorMap {
  uint32_t startAddress;
  uint8_t reserved0[8]; /* zero */
  uint32_t size;        /* bytes */
  uint8_t flags;        /* SECTOR_READABLE | SECTOR_ERASABLE | SECTOR_WRITABLE */
  uint8_t reserved1[4]; /* zero */
} SectorMap;

/* One target (alternate setting) of a device's memory. */
typedef struct TargetMap {
  uint8_t alternate;               /* bAlternateSetting */
  char name[DFU_TARGET_NAME_SIZE]; /* zero-terminated, blanks kept, cut to fit */
  uint32_t sectorCount;
  SectorMap* sectors; /* sectorCount records, owned by the map */
} TargetMap;

/* One contiguous block of an image. */
typedef struct ImageElement {
  uint32_t address;
  uint32_t size; /* bytes; see MXUPDFILES_GetImageElement for its meaning on entry */
  uint8_t* data; /* caller's buffer, or null */
} ImageElement;

/* The record of one background operation. The caller fills the launch fields (identifiers,
 * operation, option flag, image, device path); MXUPDPRT_GetOperationStatus and
 * MXUPDPRT_StopOperation fill the whole record, launch fields included. */
typedef struct OperationRecord {
  DfuGuid interfaceClass1;
  DfuGuid interfaceClass2;
  int32_t operation;   /* OPERATION_ */
  uint32_t optionFlag; /* 0 */
  MXUPDFILES_IMAGE image;
  char devicePath[DFU_DEVICE_PATH_SIZE]; /* zero-terminated */
  uint8_t reserved0[4];                  /* the library's */
  uint8_t percent;                       /* 0 to 100; exactly 100 when done */
  uint8_t reserved1[28];                 /* the library's */
  uint32_t errorCode;                    /* MXUPDPRT_OK (0x12340000) while all is well */
  uint8_t reserved2[7];                  /* the library's */
} OperationRecord;

#pragma pack(pop)

#ifdef __cplusplus
}
#endif

/* Offsets for the build's pointer size; the 32-bit layout is the one with DFU_PTR_EXTRA 0. */
#define DFU_PTR_EXTRA (sizeof(void*) - 4)
#ifdef __cplusplus
#define DFU_STATIC_ASSERT static_assert
#else
#define DFU_STATIC_ASSERT _Static_assert
#endif
DFU_STATIC_ASSERT(sizeof(DfuGuid) == 16, "DfuGuid is 16 bytes");
DFU_STATIC_ASSERT(sizeof(SectorMap) == 21, "SectorMap is 21 bytes");
DFU_STATIC_ASSERT(offsetof(SectorMap, startAddress) == 0, "SectorMap.startAddress at 0");
DFU_STATIC_ASSERT(offsetof(SectorMap, reserved0) == 4, "SectorMap.reserved0 at 4");
DFU_STATIC_ASSERT(offsetof(SectorMap, size) == 12, "SectorMap.size at 12");
DFU_STATIC_ASSERT(offsetof(SectorMap, flags) == 16, "SectorMap.flags at 16");
DFU_STATIC_ASSERT(offsetof(SectorMap, reserved1) == 17, "SectorMap.reserved1 at 17");
DFU_STATIC_ASSERT(offsetof(TargetMap, alternate) == 0, "TargetMap.alternate at 0");
DFU_STATIC_ASSERT(offsetof(TargetMap, name) == 1, "TargetMap.name at 1");
DFU_STATIC_ASSERT(offsetof(TargetMap, sectorCount) == 261, "TargetMap.sectorCount at 261");
DFU_STATIC_ASSERT(offsetof(TargetMap, sectors) == 265, "TargetMap.sectors at 265");
DFU_STATIC_ASSERT(sizeof(TargetMap) == 269 + DFU_PTR_EXTRA, "TargetMap is 269 + pointer growth");
DFU_STATIC_ASSERT(offsetof(ImageElement, address) == 0, "ImageElement.address at 0");
DFU_STATIC_ASSERT(offsetof(ImageElement, size) == 4, "ImageElement.size at 4");
DFU_STATIC_ASSERT(offsetof(ImageElement, data) == 8, "ImageElement.data at 8");
DFU_STATIC_ASSERT(sizeof(ImageElement) == 12 + DFU_PTR_EXTRA, "ImageElement size");
DFU_STATIC_ASSERT(offsetof(OperationRecord, interfaceClass1) == 0, "interfaceClass1 at 0");
DFU_STATIC_ASSERT(offsetof(OperationRecord, interfaceClass2) == 16, "interfaceClass2 at 16");
DFU_STATIC_ASSERT(offsetof(OperationRecord, operation) == 32, "operation at 32");
DFU_STATIC_ASSERT(offsetof(OperationRecord, optionFlag) == 36, "optionFlag at 36");
DFU_STATIC_ASSERT(offsetof(OperationRecord, image) == 40, "image at 40");
DFU_STATIC_ASSERT(offsetof(OperationRecord, devicePath) == 44 + DFU_PTR_EXTRA, "devicePath");
DFU_STATIC_ASSERT(offsetof(OperationRecord, percent) == 308 + DFU_PTR_EXTRA, "percent");
DFU_STATIC_ASSERT(offsetof(OperationRecord, errorCode) == 337 + DFU_PTR_EXTRA, "errorCode");
DFU_STATIC_ASSERT(sizeof(OperationRecord) == 348 + DFU_PTR_EXTRA, "OperationRecord size");
#undef DFU_STATIC_ASSERT

#endif
