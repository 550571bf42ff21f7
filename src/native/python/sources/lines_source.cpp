#include "python/sources/lines_source.hpp"

#include "core/line_items.hpp"
#include "python/held_error.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

std::unique_ptr<ChunkSource> LinesSource::refill(ChunkInput& input) {
    core::LineItems items(input.splitter);
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator_.get()));
        if (!item) {
            throw_if_error();
            input.splitter.finish_input();
            return nullptr;
        }
        if (!PyUnicode_Check(item.get()) && !PyBytes_Check(item.get()))
            raise(PyExc_TypeError, "SDBlock.from_lines lines must be str or bytes");
        input.set_kind(kind_of(item.get()),
                       "SDBlock.from_lines does not accept mixed str and bytes lines");
        if (items.add(str_or_bytes_view(item.get()))) return nullptr;
    }
}

int LinesSource::traverse(visitproc visit, void* arg) const {
    Py_VISIT(iterator_.get());
    return 0;
}

void LinesSource::close() noexcept {
    if (!iterator_) return;
    // Dropping the caller's iterator may run its finalizer: keep the error
    // being raised, if any, across it.
    HeldError pending = HeldError::fetch();
    iterator_.reset();
    pending.restore();
}

}  // namespace molvane::py
