#include "libs/mxupdfiles/MXUPDFILES.h"

#include "libs/mxupdfiles/ImageFilter.h"
#include "libs/mxupdfiles/PackageFiles.h"
#include "libs/mxupdfiles/PackageFormat.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

struct MxupdfilesFile {
  brisk::dfu::Package package;
};

struct MxupdfilesImage {
  brisk::dfu::ImageData image;
};

namespace brisk::dfu {
namespace {

// One lock for the registers and the images' contents: an operation may fill an image on its
// worker while the caller asks for its size.
std::mutex& Lock() {
  static std::mutex m;
  return m;
}
// One register per kind, so that a file handle is never taken for an image or the other way.
std::unordered_set<const void*>& LiveImages() {
  static std::unordered_set<const void*> set;
  return set;
}
std::unordered_set<const void*>& LiveFiles() {
  static std::unordered_set<const void*> set;
  return set;
}

// Both need Lock() held.
ImageData* FindImage(MXUPDFILES_IMAGE image) {
  return image && LiveImages().count(image) ? &image->image : nullptr;
}
Package* FindFile(MXUPDFILES_FILE file) {
  return file && LiveFiles().count(file) ? &file->package : nullptr;
}

uint32_t Register(ImageData data, MXUPDFILES_IMAGE* out) {
  auto* image = new (std::nothrow) MxupdfilesImage{std::move(data)};
  if (!image) return MXUPDFILES_ERR_MEMORY;
  LiveImages().insert(image);
  *out = image;
  return MXUPDFILES_OK;
}

std::string CutName(const char* name) {
  if (!name) return {};
  return std::string(name, strnlen(name, MXUPDFILES_MAX_NAME));
}

}  // namespace
}  // namespace brisk::dfu

using namespace brisk::dfu;

extern "C" {

const char* MXUPDFILES_StatusText(uint32_t status) {
  switch (status) {
    case MXUPDFILES_OK:
      return "success";
    case MXUPDFILES_ERR_ARGUMENT:
      return "bad argument";
    case MXUPDFILES_ERR_HANDLE:
      return "unknown handle";
    case MXUPDFILES_ERR_OPEN:
      return "cannot open or read the file";
    case MXUPDFILES_ERR_TOO_LARGE:
      return "larger than 16 MiB";
    case MXUPDFILES_ERR_TOO_SHORT:
      return "too short for a package";
    case MXUPDFILES_ERR_SUFFIX:
      return "no DFU suffix";
    case MXUPDFILES_ERR_CRC:
      return "CRC mismatch";
    case MXUPDFILES_ERR_MAGIC:
      return "not a package file";
    case MXUPDFILES_ERR_VERSION:
      return "unknown format version";
    case MXUPDFILES_ERR_HEADER:
      return "bad header field";
    case MXUPDFILES_ERR_TRUNCATED:
      return "truncated: a count or size reaches past the end";
    case MXUPDFILES_ERR_ORDER:
      return "elements out of order or overlapping";
    case MXUPDFILES_ERR_TRAILING:
      return "unexpected bytes before the suffix";
    case MXUPDFILES_ERR_INDEX:
      return "index out of range";
    case MXUPDFILES_ERR_BUFFER:
      return "buffer too small";
    case MXUPDFILES_ERR_MEMORY:
      return "out of memory";
    case MXUPDFILES_ERR_WRITE:
      return "cannot write the file";
    case MXUPDFILES_ERR_OUTSIDE:
      return "image reaches outside the target";
    case MXUPDFILES_ERR_PROTECTED:
      return "a sector does not allow the operation";
    case MXUPDFILES_ERR_OPERATION:
      return "unknown operation";
    case MXUPDFILES_ERR_MISMATCH:
      return "element address or size differs";
    case MXUPDFILES_ERR_DUPLICATE:
      return "two images for one alternate setting";
    case MXUPDFILES_ERR_ELEMENTS:
      return "more than 256 elements in one image";
    case MXUPDFILES_ERR_NOT_REGULAR:
      return "not a regular file";
    default:
      return "unknown status";
  }
}

uint32_t MXUPDFILES_OpenExistingDFUFile(const char* path, MXUPDFILES_FILE* file, uint16_t* vendor,
                                        uint16_t* product, uint16_t* version, uint8_t* imageCount) {
  if (!path || !file || !imageCount) return MXUPDFILES_ERR_ARGUMENT;
  try {
    std::vector<uint8_t> bytes;
    if (uint32_t rc = ReadPackageFile(path, bytes); rc != MXUPDFILES_OK) return rc;
    auto* f = new MxupdfilesFile;
    if (uint32_t rc = ParsePackage(bytes, f->package); rc != MXUPDFILES_OK) {
      delete f;
      return rc;
    }
    if (vendor) *vendor = f->package.vendor;
    if (product) *product = f->package.product;
    if (version) *version = f->package.version;
    *imageCount = uint8_t(f->package.images.size());
    std::lock_guard lock(Lock());
    LiveFiles().insert(f);
    *file = f;
    return MXUPDFILES_OK;
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

uint32_t MXUPDFILES_ReadImageFromDFUFile(MXUPDFILES_FILE file, uint32_t index,
                                         MXUPDFILES_IMAGE* image) {
  if (!image) return MXUPDFILES_ERR_ARGUMENT;
  std::lock_guard lock(Lock());
  Package* p = FindFile(file);
  if (!p) return MXUPDFILES_ERR_HANDLE;
  if (index >= p->images.size()) return MXUPDFILES_ERR_INDEX;
  try {
    return Register(p->images[index], image);
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

uint32_t MXUPDFILES_CloseDFUFile(MXUPDFILES_FILE file) {
  {
    std::lock_guard lock(Lock());
    if (!FindFile(file)) return MXUPDFILES_ERR_HANDLE;
    LiveFiles().erase(file);
  }
  delete file;
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_WriteDFUFile(const char* path, uint16_t vendor, uint16_t product,
                                 uint16_t version, const MXUPDFILES_IMAGE* images, uint32_t count) {
  if (!path || (count > 0 && !images)) return MXUPDFILES_ERR_ARGUMENT;
  if (count > 255) return MXUPDFILES_ERR_ARGUMENT;
  try {
    Package p;
    p.vendor = vendor;
    p.product = product;
    p.version = version;
    std::vector<uint8_t> bytes;
    {
      std::lock_guard lock(Lock());
      for (uint32_t i = 0; i < count; ++i) {
        ImageData* image = FindImage(images[i]);
        if (!image) return MXUPDFILES_ERR_HANDLE;
        p.images.push_back(*image);
      }
    }
    if (uint32_t rc = BuildPackage(p, bytes); rc != MXUPDFILES_OK) return rc;
    return WritePackageFile(path, bytes);
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

uint32_t MXUPDFILES_CreateImage(MXUPDFILES_IMAGE* image, uint8_t alternate, const char* name) {
  if (!image) return MXUPDFILES_ERR_ARGUMENT;
  ImageData data;
  data.alternate = alternate;
  data.name = CutName(name);
  std::lock_guard lock(Lock());
  return Register(std::move(data), image);
}

uint32_t MXUPDFILES_CreateImageFromMapping(MXUPDFILES_IMAGE* image, const TargetMap* target) {
  if (!image || !target) return MXUPDFILES_ERR_ARGUMENT;
  std::vector<Sector> sectors;
  if (!SortedSectors(*target, sectors)) return MXUPDFILES_ERR_ARGUMENT;
  uint64_t total = 0;
  for (const auto& s : sectors) total += s.end - s.start;
  if (total > MXUPDFILES_MAX_FILE_SIZE) return MXUPDFILES_ERR_TOO_LARGE;
  try {
    ImageData data;
    data.alternate = target->alternate;
    data.name = std::string(target->name, strnlen(target->name, sizeof target->name));
    if (data.name.size() > MXUPDFILES_MAX_NAME) data.name.resize(MXUPDFILES_MAX_NAME);
    // One element per run of adjacent sectors.
    for (size_t i = 0; i < sectors.size();) {
      size_t j = i + 1;
      while (j < sectors.size() && sectors[j].start == sectors[j - 1].end) ++j;
      std::vector<uint8_t> blank(size_t(sectors[j - 1].end - sectors[i].start), 0xFF);
      if (!data.Append(uint32_t(sectors[i].start), blank)) return MXUPDFILES_ERR_ORDER;
      i = j;
    }
    std::lock_guard lock(Lock());
    return Register(std::move(data), image);
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

uint32_t MXUPDFILES_DuplicateImage(MXUPDFILES_IMAGE image, MXUPDFILES_IMAGE* copy) {
  if (!copy) return MXUPDFILES_ERR_ARGUMENT;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  try {
    return Register(*data, copy);
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

uint32_t MXUPDFILES_DestroyImage(MXUPDFILES_IMAGE* image) {
  if (!image) return MXUPDFILES_ERR_ARGUMENT;
  MXUPDFILES_IMAGE victim = *image;
  {
    std::lock_guard lock(Lock());
    if (!FindImage(victim)) return MXUPDFILES_ERR_HANDLE;
    LiveImages().erase(victim);
  }
  delete victim;
  *image = nullptr;
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_GetImageAlternate(MXUPDFILES_IMAGE image, uint8_t* alternate) {
  if (!alternate) return MXUPDFILES_ERR_ARGUMENT;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  *alternate = data->alternate;
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_SetImageAlternate(MXUPDFILES_IMAGE image, uint8_t alternate) {
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  data->alternate = alternate;
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_SetImageName(MXUPDFILES_IMAGE image, const char* name) {
  std::string cut = CutName(name);
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  data->name = std::move(cut);
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_GetImageName(MXUPDFILES_IMAGE image, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return MXUPDFILES_ERR_ARGUMENT;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  const size_t n = std::min<size_t>(data->name.size(), size - 1);
  std::memcpy(buffer, data->name.data(), n);
  buffer[n] = '\0';
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_GetImageSize(MXUPDFILES_IMAGE image) {
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  return data ? uint32_t(data->data.size()) : 0;
}

uint32_t MXUPDFILES_GetImageNbElement(MXUPDFILES_IMAGE image, uint32_t* count) {
  if (!count) return MXUPDFILES_ERR_ARGUMENT;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  *count = uint32_t(data->elements.size());
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_GetImageElement(MXUPDFILES_IMAGE image, uint32_t index, ImageElement* element) {
  if (!element) return MXUPDFILES_ERR_ARGUMENT;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  if (index >= data->elements.size()) return MXUPDFILES_ERR_INDEX;
  const auto& e = data->elements[index];
  uint32_t rc = MXUPDFILES_OK;
  if (element->data) {
    const uint32_t capacity = element->size;
    const uint32_t n = std::min(capacity, e.size);
    if (n) std::memcpy(element->data, data->data.data() + e.offset, n);
    if (capacity < e.size) rc = MXUPDFILES_ERR_BUFFER;
  }
  element->address = e.address;
  element->size = e.size;
  return rc;
}

uint32_t MXUPDFILES_AppendImageElement(MXUPDFILES_IMAGE image, const ImageElement* element) {
  if (!element || (element->size > 0 && !element->data)) return MXUPDFILES_ERR_ARGUMENT;
  const ImageElement e = *element;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  if (uint64_t(data->data.size()) + e.size > MXUPDFILES_MAX_FILE_SIZE)
    return MXUPDFILES_ERR_TOO_LARGE;
  if (data->elements.size() >= MXUPDFILES_MAX_ELEMENTS) return MXUPDFILES_ERR_ELEMENTS;
  try {
    return data->Append(e.address, std::span<const uint8_t>(e.data, e.size)) ? MXUPDFILES_OK
                                                                             : MXUPDFILES_ERR_ORDER;
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

uint32_t MXUPDFILES_SetImageElement(MXUPDFILES_IMAGE image, uint32_t index,
                                    const ImageElement* element) {
  if (!element || (element->size > 0 && !element->data)) return MXUPDFILES_ERR_ARGUMENT;
  const ImageElement in = *element;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  if (index >= data->elements.size()) return MXUPDFILES_ERR_INDEX;
  const auto& e = data->elements[index];
  if (e.address != in.address || e.size != in.size) return MXUPDFILES_ERR_MISMATCH;
  if (in.size) std::memcpy(data->data.data() + e.offset, in.data, in.size);
  return MXUPDFILES_OK;
}

uint32_t MXUPDFILES_FilterImageForOperation(MXUPDFILES_IMAGE image, const TargetMap* target,
                                            int32_t operation, uint32_t optionFlag) {
  if (!target || optionFlag != 0) return MXUPDFILES_ERR_ARGUMENT;
  if (operation < OPERATION_DETACH || operation > OPERATION_DNLOAD) return MXUPDFILES_ERR_OPERATION;
  std::lock_guard lock(Lock());
  ImageData* data = FindImage(image);
  if (!data) return MXUPDFILES_ERR_HANDLE;
  try {
    ImageData work = *data;
    const uint32_t rc = FilterImage(work, *target, operation);
    if (rc == MXUPDFILES_OK) *data = std::move(work);
    return rc;
  } catch (const std::bad_alloc&) {
    return MXUPDFILES_ERR_MEMORY;
  }
}

}  // extern "C"
