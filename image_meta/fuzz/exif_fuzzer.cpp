// libFuzzer target: the reader on arbitrary bytes, as a whole file and as a
// single APP1 payload, followed by the frame record built from the store.
#include "fw/settings.h"
#include "image_meta/exif.h"
#include "image_meta/frame_record.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        fw::Settings store;
        EXIF exif;
        exif.parseBuffer(data, size, store);
        imagemeta::frameLine(imagemeta::buildFrameRecord(store, "fuzz"));
    }
    {
        fw::Settings store;
        EXIF exif;
        exif.parseExifSegment(data, size, store);
        exif.parseXmpSegment(data, size, store);
    }
    return 0;
}
