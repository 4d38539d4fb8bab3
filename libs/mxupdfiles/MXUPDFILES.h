/*
 * MXUPDFILES: DFU package files and the images they hold.
 *
 * The package file (all integers little-endian):
 *   header, 16 bytes: "BRISKDFU"; u16 format version 1; u8 number of images; u8 0;
 *                     u32 offset of the suffix (= size of header and images)
 *   each image:       u8 alternate setting; u8 name length L; u16 0; u32 element count;
 *                     L bytes of name (no terminator); then per element:
 *                     u32 start address, u32 size, size bytes of data.
 *                     Elements ascend by address and do not overlap.
 *   suffix, 16 bytes: u16 bcdDevice (package version, 0xFFFF any); u16 idProduct;
 *                     u16 idVendor; u16 bcdDFU 0x011A; 'U' 'F' 'D'; u8 16;
 *                     u32 dwCRC = ~CRC-32 (reflected, 0xEDB88320) of every byte before it.
 * A file is at most 16 MiB, an image at most MXUPDFILES_MAX_ELEMENTS elements, and no two images
 * share an alternate setting; reading checks everything before it trusts anything. Only regular
 * files are read (a FIFO or device is refused without blocking on it).
 *
 * Handles are opaque; a null, closed or foreign handle, or a file handle where an image handle
 * belongs (and the other way round), is refused with MXUPDFILES_ERR_HANDLE. All functions may be
 * called from any thread.
 */
#ifndef BRISK_MXUPDFILES_H
#define BRISK_MXUPDFILES_H

#include <stddef.h>
#include <stdint.h>

#include "libs/mxupdfiles/DfuRecords.h"

#if defined(__GNUC__)
#define MXUPDFILES_API __attribute__((visibility("default")))
#else
#define MXUPDFILES_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define MXUPDFILES_OK 0x12340000u
#define MXUPDFILES_ERR_ARGUMENT 0x12346001u  /* a required pointer is null, or a bad value */
#define MXUPDFILES_ERR_HANDLE 0x12346002u    /* null, closed or unknown file or image handle */
#define MXUPDFILES_ERR_OPEN 0x12346003u      /* the file cannot be opened or read; errno why */
#define MXUPDFILES_ERR_TOO_LARGE 0x12346004u /* more than 16 MiB (file or image data) */
#define MXUPDFILES_ERR_TOO_SHORT 0x12346005u /* shorter than a header and a suffix */
#define MXUPDFILES_ERR_SUFFIX 0x12346006u    /* no "UFD" signature, length not 16, or bcdDFU */
#define MXUPDFILES_ERR_CRC 0x12346007u       /* dwCRC does not match the file */
#define MXUPDFILES_ERR_MAGIC 0x12346008u     /* the file does not start with "BRISKDFU" */
#define MXUPDFILES_ERR_VERSION 0x12346009u   /* unknown format version */
#define MXUPDFILES_ERR_HEADER 0x1234600Au    /* reserved byte not 0, or bad suffix offset */
#define MXUPDFILES_ERR_TRUNCATED 0x1234600Bu /* a count or size reaches past the bytes left */
#define MXUPDFILES_ERR_ORDER 0x1234600Cu     /* elements out of order, overlapping or past 4 GiB */
#define MXUPDFILES_ERR_TRAILING 0x1234600Du  /* bytes left between the last image and suffix */
#define MXUPDFILES_ERR_INDEX 0x1234600Eu     /* image or element index out of range */
#define MXUPDFILES_ERR_BUFFER 0x1234600Fu    /* the caller's data buffer is too small */
#define MXUPDFILES_ERR_MEMORY 0x12346010u    /* out of memory */
#define MXUPDFILES_ERR_WRITE 0x12346011u     /* the file cannot be written */
#define MXUPDFILES_ERR_OUTSIDE 0x12346012u   /* the image reaches outside the target's sectors */
#define MXUPDFILES_ERR_PROTECTED 0x12346013u /* a sector lacks the flag the operation needs */
#define MXUPDFILES_ERR_OPERATION 0x12346014u /* unknown operation code */
#define MXUPDFILES_ERR_MISMATCH 0x12346015u  /* element address or size differs */
#define MXUPDFILES_ERR_DUPLICATE 0x12346016u /* two images for one alternate setting */
#define MXUPDFILES_ERR_ELEMENTS 0x12346017u  /* more than MXUPDFILES_MAX_ELEMENTS in an image */
#define MXUPDFILES_ERR_NOT_REGULAR 0x12346018u /* a FIFO, device or directory, not a file */

/* Longest file the reader accepts and the writer produces. */
#define MXUPDFILES_MAX_FILE_SIZE (16u * 1024u * 1024u)
/* Most elements of one image a package may hold: real firmware has a handful, and each element
 * costs the device an address command and a partial block, so that a package of many tiny
 * elements would hold the reader in DFU mode for hours. */
#define MXUPDFILES_MAX_ELEMENTS 256u
/* Longest image name kept (bytes, without the terminator). */
#define MXUPDFILES_MAX_NAME 255u

/* A short English text for a status code ("CRC mismatch", ...); never null. */
MXUPDFILES_API const char* MXUPDFILES_StatusText(uint32_t status);

/* Opens and checks a package file. vendor, product and version may be null. On failure nothing
 * is returned and *file stays as it was. */
MXUPDFILES_API uint32_t MXUPDFILES_OpenExistingDFUFile(const char* path, MXUPDFILES_FILE* file,
                                                       uint16_t* vendor, uint16_t* product,
                                                       uint16_t* version, uint8_t* imageCount);
/* A new image with the data of image index (from 0); the caller owns it. */
MXUPDFILES_API uint32_t MXUPDFILES_ReadImageFromDFUFile(MXUPDFILES_FILE file, uint32_t index,
                                                        MXUPDFILES_IMAGE* image);
MXUPDFILES_API uint32_t MXUPDFILES_CloseDFUFile(MXUPDFILES_FILE file);

/* Writes a package of count images (0 to 255) to path, replacing the file atomically. */
MXUPDFILES_API uint32_t MXUPDFILES_WriteDFUFile(const char* path, uint16_t vendor, uint16_t product,
                                                uint16_t version, const MXUPDFILES_IMAGE* images,
                                                uint32_t count);

/* A new empty image; name may be null (empty) and is cut to MXUPDFILES_MAX_NAME bytes. */
MXUPDFILES_API uint32_t MXUPDFILES_CreateImage(MXUPDFILES_IMAGE* image, uint8_t alternate,
                                               const char* name);
/* An image of the whole target: one element per run of adjacent sectors, data 0xFF. */
MXUPDFILES_API uint32_t MXUPDFILES_CreateImageFromMapping(MXUPDFILES_IMAGE* image,
                                                          const TargetMap* target);
MXUPDFILES_API uint32_t MXUPDFILES_DuplicateImage(MXUPDFILES_IMAGE image, MXUPDFILES_IMAGE* copy);
/* Releases *image and sets it to null. */
MXUPDFILES_API uint32_t MXUPDFILES_DestroyImage(MXUPDFILES_IMAGE* image);

MXUPDFILES_API uint32_t MXUPDFILES_GetImageAlternate(MXUPDFILES_IMAGE image, uint8_t* alternate);
MXUPDFILES_API uint32_t MXUPDFILES_SetImageAlternate(MXUPDFILES_IMAGE image, uint8_t alternate);
/* name may be null (empty); cut to MXUPDFILES_MAX_NAME bytes. */
MXUPDFILES_API uint32_t MXUPDFILES_SetImageName(MXUPDFILES_IMAGE image, const char* name);
/* Copies the name, zero-terminated and cut to size - 1 bytes. */
MXUPDFILES_API uint32_t MXUPDFILES_GetImageName(MXUPDFILES_IMAGE image, char* buffer,
                                                uint32_t size);
/* Total data size in bytes; 0 for a bad handle. */
MXUPDFILES_API uint32_t MXUPDFILES_GetImageSize(MXUPDFILES_IMAGE image);
MXUPDFILES_API uint32_t MXUPDFILES_GetImageNbElement(MXUPDFILES_IMAGE image, uint32_t* count);

/* Fills element->address and element->size. When element->data is not null, element->size on
 * entry is the capacity of that buffer: min(capacity, element size) bytes are copied, size is
 * set to the element's size, and MXUPDFILES_ERR_BUFFER is returned when the capacity was too
 * small. */
MXUPDFILES_API uint32_t MXUPDFILES_GetImageElement(MXUPDFILES_IMAGE image, uint32_t index,
                                                   ImageElement* element);
/* Appends a copy of element (its data must not be null unless size is 0). It must start at or
 * after the end of the last element. */
MXUPDFILES_API uint32_t MXUPDFILES_AppendImageElement(MXUPDFILES_IMAGE image,
                                                      const ImageElement* element);
/* Replaces the data of element index; address and size must be the element's. */
MXUPDFILES_API uint32_t MXUPDFILES_SetImageElement(MXUPDFILES_IMAGE image, uint32_t index,
                                                   const ImageElement* element);

/* Prepares image for operation on target, in place; optionFlag must be 0. Every operation but
 * detach first checks that each byte of the image lies in a sector of the target
 * (MXUPDFILES_ERR_OUTSIDE), and sets the image's alternate setting to the target's. Then:
 *   OPERATION_DNLOAD: every sector written must be writable; the data stays as it is.
 *   OPERATION_UPLOAD: every sector read must be readable; the data stays (it is overwritten).
 *   OPERATION_ERASE:  every sector touched must be erasable; the image becomes one element
 *                     per touched sector, data 0xFF (what the erase leaves).
 *   OPERATION_LEAVE:  one empty element at the start of the target's first sector.
 *   OPERATION_DETACH: no elements.
 * A missing flag gives MXUPDFILES_ERR_PROTECTED. On failure the image is unchanged. */
MXUPDFILES_API uint32_t MXUPDFILES_FilterImageForOperation(MXUPDFILES_IMAGE image,
                                                           const TargetMap* target,
                                                           int32_t operation, uint32_t optionFlag);

#ifdef __cplusplus
}
#endif

#endif
