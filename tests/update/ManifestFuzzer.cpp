#include "update/ManifestReader.h"

#include <cstddef>
#include <cstdint>

// libFuzzer entry: reading any bytes as a manifest must neither crash, hang
// nor leak.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    strataloom::readManifest(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}
