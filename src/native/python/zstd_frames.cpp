#include "python/zstd_frames.hpp"

#include "core/zstd_frames.hpp"
#include "python/arguments.hpp"
#include "python/buffer_view.hpp"
#include "python/errors.hpp"
#include "python/object.hpp"

namespace molvane::py {

namespace {

using ZstdFramesObject = core::ZstdFrameWalk;

PyObject* zstd_frames_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    return boundary(cls, [&] {
        static const char* keywords[] = {nullptr};
        parse_arguments(args, kwargs, ":_ZstdFrames", keywords);
        return new_object<ZstdFramesObject>(cls).release();
    });
}

PyObject* zstd_frames_feed(PyObject* self, PyObject* data) {
    return boundary(self, [&] {
        BufferView view(data);
        state_of<ZstdFramesObject>(self).feed(view.view());
        return Ref::borrow(Py_None).release();
    });
}

PyObject* zstd_frames_complete(PyObject* self, void*) {
    return PyBool_FromLong(state_of<ZstdFramesObject>(self).at_frame_end());
}

PyMethodDef kMethods[] = {
    {"feed", zstd_frames_feed, METH_O,
     "feed($self, data, /)\n--\n\nFollows the next bytes of the compressed data."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"complete", zstd_frames_complete, nullptr,
     "Whether the bytes so far end where a frame ends (or hold no frame).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(zstd_frames_new)},
    {Py_tp_doc, const_cast<char*>("The frames of zstd data, followed as its bytes go by.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ZstdFramesObject>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native._ZstdFrames",
    object_size<ZstdFramesObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref new_zstd_frames_type(PyObject* module) {
    return new_type(module, kSpec);
}

}  // namespace molvane::py
