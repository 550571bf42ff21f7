#include "python/sources/path_opening.hpp"

#include <string_view>

#include "python/errors.hpp"
#include "python/random_access.hpp"
#include "python/sources/decompressed_source.hpp"

namespace molvane::py {

std::unique_ptr<core::InputFile> open_path_file(const PathRequest& path) {
    auto file = std::make_unique<core::InputFile>();
    core::InputFile& opened = *file;
    const std::string& bytes = path.bytes;
    raise_if_failed(blocking_call([&]() noexcept { return opened.open(bytes); }),
                    path.object.get());
    return file;
}

void refuse_unread_format(const core::InputFile& file, PyObject* path) {
    if (std::string_view format = file.unread_format(); !format.empty()) {
        PyErr_Format(PyExc_ValueError,
                     "%R is a %s, not an SD file: extract it first (molvane reads SD files "
                     "compressed with gzip, bzip2, xz or zstd)",
                     path, std::string(format).c_str());
        throw PythonError{};
    }
}

void check_random_access(const core::InputFile& file, PyObject* path) {
    raise_file_fault(path, file.random_access_refusal());
}

std::unique_ptr<core::MappedReader> map_path_file(core::InputFile& file, const PathRequest& path,
                                                  bool text) {
    std::shared_ptr<const core::Mapping> mapping = file.take_mapping();
    if (!mapping) return nullptr;
    return std::make_unique<core::MappedReader>(std::move(mapping), text, path.borrow);
}

void restrict_to_range(core::MappedReader& mapped, const PathRequest& path) {
    const uint64_t start = path.start;
    const uint64_t stop = path.stop;
    bool intact = true;
    without_gil([&] { intact = mapped.restrict_to(start, stop); });
    if (!intact) raise_file_shrank(path.object.get());
}

std::unique_ptr<ChunkSource> decompressing_file(core::InputFile& file, PyObject* path) {
    Ref descriptor = Ref::check(PyLong_FromLong(file.descriptor()));
    file.release_descriptor();
    return decompressing_source(std::move(descriptor), file.compression(), {}, path, file.size());
}

}  // namespace molvane::py
