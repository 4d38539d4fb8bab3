/*
 * mxupd-flash: a short example of the DFU libraries.
 *
 *   mxupd-flash list                    the DFU devices present, with their memory targets
 *   mxupd-flash flash PACKAGE [DEVICE]  erase, write, read back and compare every image of
 *                                       PACKAGE on DEVICE (default: the first DFU device),
 *                                       then make the device leave DFU mode
 *
 * Build it against the installed SDK:
 *   cc -o mxupd-flash mxupd-flash.c $(pkg-config --cflags --libs mxupdprt mxupdfiles mxupd \
 *      qktubedevice)
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <MXUPD.h>
#include <MXUPDFILES.h>
#include <MXUPDPRT.h>
#include <QKTubeDevice.h>

static void Pause(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Vendor and product identifiers from the device descriptor, read through MXUPD. */
static int ReadIds(const char* path, uint16_t* vendor, uint16_t* product) {
  MXUPD_HANDLE handle = NULL;
  if (MXUPD_Open(path, &handle) != MXUPD_OK) return 0;
  UsbDeviceDescriptor descriptor;
  const uint32_t status = MXUPD_GetDeviceDescriptor(&handle, &descriptor);
  MXUPD_Close(&handle);
  if (status != MXUPD_OK) return 0;
  *vendor = descriptor.idVendor;
  *product = descriptor.idProduct;
  return 1;
}

static int List(void) {
  char path[DFU_DEVICE_PATH_SIZE];
  uint32_t index = 0;
  for (; QKDevice_GetDfuDevicePath(index, path, sizeof path) == QK_OK; ++index) {
    uint16_t vendor = 0, product = 0;
    if (!ReadIds(path, &vendor, &product)) {
      printf("%s: cannot be opened\n", path);
      continue;
    }
    printf("%s: %04x:%04x\n", path, vendor, product);
    TargetMap* map = NULL;
    uint32_t count = 0;
    const uint32_t status = MXUPDPRT_CreateMappingFromDevice(path, &map, &count);
    if (status != MXUPDPRT_OK) {
      printf("  no memory map (0x%08x)\n", status);
      continue;
    }
    for (uint32_t t = 0; t < count; ++t) {
      uint32_t bytes = 0;
      for (uint32_t s = 0; s < map[t].sectorCount; ++s) bytes += map[t].sectors[s].size;
      printf("  target %u \"%s\": %u sectors, %u bytes\n", (unsigned)map[t].alternate, map[t].name,
             (unsigned)map[t].sectorCount, (unsigned)bytes);
    }
    MXUPDPRT_DestroyMapping(&map);
  }
  if (index == 0) printf("no DFU device\n");
  return 0;
}

/* Runs one operation on image to its end. */
static int Run(const char* path, int32_t operation, MXUPDFILES_IMAGE image, const char* what) {
  OperationRecord record;
  memset(&record, 0, sizeof record);
  const DfuGuid class1 = DFU_INTERFACE_CLASS_1;
  const DfuGuid class2 = DFU_INTERFACE_CLASS_2;
  record.interfaceClass1 = class1;
  record.interfaceClass2 = class2;
  record.operation = operation;
  record.image = image;
  snprintf(record.devicePath, sizeof record.devicePath, "%s", path);
  MXUPDPRT_OPERATION handle = NULL;
  uint32_t status = MXUPDPRT_LaunchOperation(&record, &handle);
  if (status != MXUPDPRT_OK) {
    fprintf(stderr, "mxupd-flash: %s not started (0x%08x)\n", what, status);
    return 0;
  }
  do {
    Pause(20);
    status = MXUPDPRT_GetOperationStatus(handle, &record);
  } while (status == MXUPDPRT_OK && record.errorCode == MXUPDPRT_OK && record.percent < 100);
  if (status == MXUPDPRT_OK) status = record.errorCode;
  MXUPDPRT_StopOperation(handle, NULL);
  if (status != MXUPDPRT_OK) {
    fprintf(stderr, "mxupd-flash: %s failed (0x%08x)\n", what, status);
    return 0;
  }
  printf("%s: done\n", what);
  return 1;
}

/* A copy of image prepared for operation on target. */
static MXUPDFILES_IMAGE Prepared(MXUPDFILES_IMAGE image, const TargetMap* target,
                                 int32_t operation) {
  MXUPDFILES_IMAGE copy = NULL;
  if (MXUPDFILES_DuplicateImage(image, &copy) != MXUPDFILES_OK) return NULL;
  const uint32_t status = MXUPDFILES_FilterImageForOperation(copy, target, operation, 0);
  if (status != MXUPDFILES_OK) {
    fprintf(stderr, "mxupd-flash: the image does not fit the target: %s\n",
            MXUPDFILES_StatusText(status));
    MXUPDFILES_DestroyImage(&copy);
  }
  return copy;
}

static int SameData(MXUPDFILES_IMAGE a, MXUPDFILES_IMAGE b) {
  uint32_t na = 0, nb = 0;
  if (MXUPDFILES_GetImageNbElement(a, &na) != MXUPDFILES_OK ||
      MXUPDFILES_GetImageNbElement(b, &nb) != MXUPDFILES_OK || na != nb)
    return 0;
  int same = 1;
  for (uint32_t i = 0; i < na && same; ++i) {
    ImageElement ea = {0, 0, NULL}, eb = {0, 0, NULL};
    MXUPDFILES_GetImageElement(a, i, &ea);
    MXUPDFILES_GetImageElement(b, i, &eb);
    if (ea.address != eb.address || ea.size != eb.size) return 0;
    ea.data = malloc(ea.size ? ea.size : 1);
    eb.data = malloc(eb.size ? eb.size : 1);
    same = ea.data && eb.data && MXUPDFILES_GetImageElement(a, i, &ea) == MXUPDFILES_OK &&
           MXUPDFILES_GetImageElement(b, i, &eb) == MXUPDFILES_OK &&
           memcmp(ea.data, eb.data, ea.size) == 0;
    free(ea.data);
    free(eb.data);
  }
  return same;
}

/* Erase, write, read back and compare one image on its target. */
static int FlashImage(const char* path, MXUPDFILES_IMAGE image, const TargetMap* target) {
  int ok = 0;
  MXUPDFILES_IMAGE erase = Prepared(image, target, OPERATION_ERASE);
  MXUPDFILES_IMAGE write = Prepared(image, target, OPERATION_DNLOAD);
  MXUPDFILES_IMAGE read = Prepared(image, target, OPERATION_UPLOAD);
  if (erase && write && read && Run(path, OPERATION_ERASE, erase, "erase") &&
      Run(path, OPERATION_DNLOAD, write, "write") && Run(path, OPERATION_UPLOAD, read, "read")) {
    ok = SameData(write, read);
    printf("compare: %s\n", ok ? "equal" : "DIFFERENT");
  }
  MXUPDFILES_DestroyImage(&erase);
  MXUPDFILES_DestroyImage(&write);
  MXUPDFILES_DestroyImage(&read);
  return ok;
}

static int Flash(const char* package, const char* device) {
  char path[DFU_DEVICE_PATH_SIZE];
  if (device) {
    snprintf(path, sizeof path, "%s", device);
  } else if (QKDevice_GetDfuDevicePath(0, path, sizeof path) != QK_OK) {
    fprintf(stderr, "mxupd-flash: no DFU device\n");
    return 1;
  }
  MXUPDFILES_FILE file = NULL;
  uint16_t vendor = 0, product = 0, deviceVendor = 0, deviceProduct = 0;
  uint8_t images = 0;
  uint32_t status =
      MXUPDFILES_OpenExistingDFUFile(package, &file, &vendor, &product, NULL, &images);
  if (status != MXUPDFILES_OK) {
    fprintf(stderr, "mxupd-flash: %s: %s\n", package, MXUPDFILES_StatusText(status));
    return 1;
  }
  if (!ReadIds(path, &deviceVendor, &deviceProduct) || deviceVendor != vendor ||
      deviceProduct != product) {
    fprintf(stderr, "mxupd-flash: the package is for %04x:%04x, not for %s\n", vendor, product,
            path);
    MXUPDFILES_CloseDFUFile(file);
    return 1;
  }
  TargetMap* map = NULL;
  uint32_t targets = 0;
  status = MXUPDPRT_CreateMappingFromDevice(path, &map, &targets);
  int ok = status == MXUPDPRT_OK;
  if (!ok) fprintf(stderr, "mxupd-flash: no memory map of %s (0x%08x)\n", path, status);
  for (uint8_t i = 0; ok && i < images; ++i) {
    MXUPDFILES_IMAGE image = NULL;
    uint8_t alternate = 0;
    ok = MXUPDFILES_ReadImageFromDFUFile(file, i, &image) == MXUPDFILES_OK &&
         MXUPDFILES_GetImageAlternate(image, &alternate) == MXUPDFILES_OK;
    const TargetMap* target = NULL;
    for (uint32_t t = 0; ok && t < targets; ++t)
      if (map[t].alternate == alternate) target = &map[t];
    if (ok && !target) fprintf(stderr, "mxupd-flash: image %u has no target on the device\n", i);
    ok = ok && target && FlashImage(path, image, target);
    MXUPDFILES_DestroyImage(&image);
  }
  MXUPDFILES_CloseDFUFile(file);
  if (ok) {
    MXUPDFILES_IMAGE leave = NULL;
    ok = MXUPDFILES_CreateImageFromMapping(&leave, &map[0]) == MXUPDFILES_OK &&
         MXUPDFILES_FilterImageForOperation(leave, &map[0], OPERATION_LEAVE, 0) == MXUPDFILES_OK &&
         Run(path, OPERATION_LEAVE, leave, "leave DFU mode");
    MXUPDFILES_DestroyImage(&leave);
  }
  MXUPDPRT_DestroyMapping(&map);
  return ok ? 0 : 1;
}

static const char kUsage[] = "usage: mxupd-flash list | mxupd-flash flash PACKAGE [DEVICE]\n";

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "list") == 0) return List();
  if ((argc == 3 || argc == 4) && strcmp(argv[1], "flash") == 0)
    return Flash(argv[2], argc == 4 ? argv[3] : NULL);
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  fputs(kUsage, stderr);
  return 64;
}
