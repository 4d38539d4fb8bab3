/*
 * MXUPDPRT: a DFU device's memory map and long operations on it, run in the background.
 * Built over MXUPD; a device is named by its MXUPD/QKTubeDevice path.
 *
 * The memory map comes from the interface string of each alternate setting of the device's
 * DFU interface (the last interface of configuration 0):
 *     @Name/0xSTART/COUNT*SIZE[ KM]t[,COUNT*SIZE[ KM]t...][/0xSTART/...]
 * SIZE is in bytes, KiB (K) or MiB (M); t is a letter a to g whose value minus 'a' plus one is
 * the sector flags (readable 1, erasable 2, writable 4). The name keeps its blanks and is cut to
 * fit 260 bytes. A string that does not parse fails the whole mapping; at most
 * MXUPDPRT_MAX_TARGETS targets and MXUPDPRT_MAX_SECTORS sectors per target.
 *
 * Operations (OPERATION_ codes of DfuRecords.h) run on a worker thread of their own from a copy
 * of the launch record; one device is driven by one operation at a time:
 *   detach: DETACH to the DFU interface.
 *   leave:  address pointer to the image's first element, zero-length DNLOAD, then status
 *           until the device manifests or leaves the bus (both are success).
 *   erase:  one page-erase command per sector of the target that the image touches (mass erase
 *           is never used: it would also wipe sectors the image does not cover).
 *   dnload: per element the address pointer, then blocks of wTransferSize numbered from 2.
 *   upload: the same blocks read back into the image.
 * After every download block and command the library asks GETSTATUS, waits the announced
 * bwPollTimeout before asking again, and goes on at the expected state. Before it starts, and
 * when it is stopped, it settles the device to dfuIDLE (ABORT, CLRSTATUS; bounded).
 */
#ifndef BRISK_MXUPDPRT_H
#define BRISK_MXUPDPRT_H

#include <stddef.h>
#include <stdint.h>

#include "libs/mxupdfiles/DfuRecords.h"

#if defined(__GNUC__)
#define MXUPDPRT_API __attribute__((visibility("default")))
#else
#define MXUPDPRT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes (function results and OperationRecord.errorCode). */
#define MXUPDPRT_OK 0x12340000u
#define MXUPDPRT_ERR_ARGUMENT 0x12345001u    /* a required pointer is null, or a bad field */
#define MXUPDPRT_ERR_HANDLE 0x12345002u      /* unknown operation handle or map */
#define MXUPDPRT_ERR_OPEN 0x12345003u        /* the device cannot be opened */
#define MXUPDPRT_ERR_DESCRIPTOR 0x12345004u  /* descriptors unreadable, or no DFU interface */
#define MXUPDPRT_ERR_MAP 0x12345005u         /* an interface string is missing or does not parse */
#define MXUPDPRT_ERR_IMAGE 0x12345006u       /* bad image, or it does not fit the device's map */
#define MXUPDPRT_ERR_UNPLUGGED 0x12345007u   /* the device left the bus during the operation */
#define MXUPDPRT_ERR_TIMEOUT 0x12345008u     /* the device stayed busy too long */
#define MXUPDPRT_ERR_STATE 0x12345009u       /* unexpected state that could not be settled */
#define MXUPDPRT_ERR_TRANSFER 0x1234500Au    /* any other failed request */
#define MXUPDPRT_ERR_STOPPED 0x1234500Bu     /* ended by MXUPDPRT_StopOperation before done */
#define MXUPDPRT_ERR_MEMORY 0x1234500Cu      /* out of memory, or no worker thread */
#define MXUPDPRT_ERR_UNSUPPORTED 0x1234500Du /* the firmware stalls the request as unsupported */
#define MXUPDPRT_ERR_OPERATION 0x1234500Eu   /* unknown operation code */
#define MXUPDPRT_ERR_EMPTY 0x1234500Fu /* erase, download or upload of an image without data */
/* The device reported error status s (bStatus 1 to 14, e.g. errTARGET 1, errWRITE 3, errPROG 6,
 * errADDRESS 8) in dfuERROR: MXUPDPRT_ERR_DEVICE_STATUS | s. errSTALLEDPKT (15) is reported as
 * MXUPDPRT_ERR_UNSUPPORTED. */
#define MXUPDPRT_ERR_DEVICE_STATUS 0x12345020u

#define MXUPDPRT_MAX_TARGETS 64u
#define MXUPDPRT_MAX_SECTORS 8192u

/* A short English text for a status code ("the device left the bus", ...); never null. */
MXUPDPRT_API const char* MXUPDPRT_StatusText(uint32_t status);

/* One TargetMap per alternate setting, in order; the caller owns *map and releases it with
 * MXUPDPRT_DestroyMapping. On failure *map is null and *count 0. */
MXUPDPRT_API uint32_t MXUPDPRT_CreateMappingFromDevice(const char* devicePath, TargetMap** map,
                                                       uint32_t* count);
/* Releases *map (made by MXUPDPRT_CreateMappingFromDevice) and sets it to null. */
MXUPDPRT_API uint32_t MXUPDPRT_DestroyMapping(TargetMap** map);

/* Starts record->operation on record->devicePath with record->image (not needed for detach)
 * and stores its handle in *operation. An erase, download or upload of an image with no data
 * byte is refused (MXUPDPRT_ERR_EMPTY) before the device is touched. The image must stay alive
 * until the operation has been stopped; an upload writes into it. */
MXUPDPRT_API uint32_t MXUPDPRT_LaunchOperation(const OperationRecord* record,
                                               MXUPDPRT_OPERATION* operation);
/* Fills the whole record: the launch fields, percent (100 exactly when done) and errorCode. */
MXUPDPRT_API uint32_t MXUPDPRT_GetOperationStatus(MXUPDPRT_OPERATION operation,
                                                  OperationRecord* record);
/* Where a failed operation stopped, in English ("download block 10 at 0x08004800"), copied
 * zero-terminated and cut to size - 1 bytes; empty while it runs or when it succeeded. */
MXUPDPRT_API uint32_t MXUPDPRT_GetOperationWhere(MXUPDPRT_OPERATION operation, char* buffer,
                                                 uint32_t size);
/* Ends the operation at its next block, leaves the device idle where it can, joins the worker,
 * fills record (may be null) and frees the handle. */
MXUPDPRT_API uint32_t MXUPDPRT_StopOperation(MXUPDPRT_OPERATION operation, OperationRecord* record);

#ifdef __cplusplus
}
#endif

#endif
