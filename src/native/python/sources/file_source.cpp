#include "python/sources/file_source.hpp"

#include <string_view>

#include "python/sources/decompressed_source.hpp"

namespace molvane::py {

std::unique_ptr<ChunkSource> FileSource::refill(ChunkInput& input) {
    char* space = input.read_space();
    size_t got = 0;
    core::InputFile& file = *file_;
    raise_if_failed(
        blocking_call([&]() noexcept { return file.read_some(space, core::kReadUnit, got); }),
        path_.get());
    if (got == 0) {
        input.splitter.finish_input();
        return nullptr;
    }
    if (consumed_ == 0) {
        // A pipe or device carrying compressed data: the decompressor takes
        // the descriptor over, after the bytes read here.
        Ref descriptor = Ref::check(PyLong_FromLong(file.descriptor()));
        if (std::unique_ptr<ChunkSource> decompressed = decompress_if_compressed(
                std::string_view(space, got), descriptor, path_.get(), file.size())) {
            file.release_descriptor();
            return decompressed;
        }
    }
    consumed_ += got;
    input.commit_read(space, got, false);
    return nullptr;
}

}  // namespace molvane::py
