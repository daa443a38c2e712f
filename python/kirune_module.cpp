// kirune._kirune: libkirune's C API for Python. It translates types (numpy
// arrays, bytes, dicts) and errors (kirune.Error) and calls the C API; the
// shapes Python users see are made in kirune/__init__.py. The GIL is released
// around every call that codes or touches files.

#include <kirune/kirune.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

namespace py = pybind11;

namespace {

// A failure of the library, raised in Python as kirune.Error (or one of its
// subclasses) with the library's text.
struct Failure {
    int code;
    std::string message;
};

std::string failureText(int code, const char* detail) {
    return detail && *detail ? std::string(detail) : std::string(kirune_error_message(code));
}

struct ReaderFree {
    void operator()(kirune_reader* r) const { kirune_reader_free(r); }
};
struct WriterFree {
    void operator()(kirune_writer* w) const { kirune_writer_free(w); }
};
struct MemoryFree {
    void operator()(void* p) const { kirune_free(p); }
};
using Reader = std::unique_ptr<kirune_reader, ReaderFree>;
using Writer = std::unique_ptr<kirune_writer, WriterFree>;

void check(int code, const kirune_reader* r) {
    if (code != KIRUNE_OK) throw Failure{code, failureText(code, kirune_reader_last_error(r))};
}
void check(int code, const kirune_writer* w) {
    if (code != KIRUNE_OK) throw Failure{code, failureText(code, kirune_writer_last_error(w))};
}

// A container from a path (bytes, as os.fsencode gives) or from memory (any
// buffer), opened with its checksum verified.
Reader openReader(const py::object& source, bool isPath, uint64_t maxPixels) {
    Reader r(kirune_reader_create());
    if (!r) throw std::bad_alloc();
    check(kirune_reader_set_max_pixels(r.get(), maxPixels), r.get());
    int rc;
    if (isPath) {
        const std::string path = source.cast<std::string>();
        py::gil_scoped_release nogil;
        rc = kirune_reader_open_path(r.get(), path.c_str());
    } else {
        // The export keeps the buffer's memory in place while the GIL is released.
        const py::buffer_info view = source.cast<py::buffer>().request();
        const auto size = static_cast<std::size_t>(view.size * view.itemsize);
        py::gil_scoped_release nogil;
        rc = kirune_reader_open_memory(r.get(), view.ptr, size);
    }
    check(rc, r.get());
    return r;
}

py::object bytesOrNone(const kirune_bytes& b) {
    if (!b.present) return py::none();
    return py::bytes(reinterpret_cast<const char*>(b.data), b.size);
}

py::dict info(const py::object& source, bool isPath) {
    const Reader r = openReader(source, isPath, 0);
    kirune_info i{};
    check(kirune_reader_info(r.get(), &i), r.get());
    kirune_metadata m{};
    check(kirune_reader_metadata(r.get(), &m), r.get());
    py::dict meta;
    meta["make"] = bytesOrNone(m.make);
    meta["model"] = bytesOrNone(m.model);
    meta["software"] = bytesOrNone(m.software);
    meta["date_time"] = bytesOrNone(m.date_time);
    meta["artist"] = bytesOrNone(m.artist);
    meta["description"] = bytesOrNone(m.description);
    meta["resolution_unit"] = m.resolution_unit;
    meta["x_resolution"] = m.x_resolution;
    meta["y_resolution"] = m.y_resolution;
    meta["icc_profile"] = bytesOrNone(m.icc_profile);
    meta["carried_tags"] = bytesOrNone(m.carried_tags);
    py::dict d;
    d["width"] = i.width;
    d["height"] = i.height;
    d["quality_level"] = i.quality_level;
    d["colour_sampling"] = i.colour_sampling;
    d["preset"] = i.preset;
    d["strip_height"] = i.strip_height;
    d["strip_count"] = i.strip_count;
    d["checksums"] = i.has_checksums != 0;
    d["orientation"] = i.orientation;
    d["metadata"] = meta;
    return d;
}

py::array readPicture(const py::object& source, bool isPath, int bits, uint64_t maxPixels) {
    if (bits != 8 && bits != 16) throw py::value_error("bits must be 8 or 16");
    const Reader r = openReader(source, isPath, maxPixels);
    kirune_info i{};
    check(kirune_reader_info(r.get(), &i), r.get());
    const std::size_t sample = static_cast<std::size_t>(bits / 8);
    if (uint64_t{i.width} * i.height > SIZE_MAX / 3 / sample)
        throw Failure{KIRUNE_ERROR_TOO_LARGE, "the picture does not fit in memory"};
    const std::size_t stride = std::size_t{i.width} * 3 * sample;
    py::array out(bits == 16 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>(),
                  std::vector<py::ssize_t>{static_cast<py::ssize_t>(i.height), static_cast<py::ssize_t>(i.width), 3});
    void* pixels = out.mutable_data();
    int rc;
    {
        py::gil_scoped_release nogil;
        rc = kirune_reader_decode(r.get(), pixels, stride, stride * i.height, bits);
    }
    check(rc, r.get());
    return out;
}

// The caller's array as the C API's picture: rows of interleaved samples,
// `stride` bytes apart. kirune/__init__.py hands over other layouts copied.
kirune_image imageOf(const py::array& a) {
    const py::dtype t = a.dtype();
    if (t.kind() != 'u' || (t.itemsize() != 1 && t.itemsize() != 2) || t.byteorder() == '>')
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "the array must hold uint8 or uint16 samples"};
    if (a.ndim() != 3 || a.shape(2) != 3 || a.shape(0) < 1 || a.shape(1) < 1)
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "the array must have the shape (height, width, 3)"};
    const py::ssize_t item = t.itemsize();
    if (a.strides(2) != item || a.strides(1) != 3 * item || a.strides(0) < a.shape(1) * 3 * item)
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "the array's rows must each hold their samples side by side"};
    if (a.shape(0) > UINT32_MAX || a.shape(1) > UINT32_MAX)
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "the picture is too large"};
    return kirune_image{a.data(), static_cast<uint32_t>(a.shape(1)), static_cast<uint32_t>(a.shape(0)),
                        static_cast<std::size_t>(a.strides(0)), static_cast<int>(item * 8)};
}

struct Coding {
    int preset = 2;
    std::optional<double> psnr;
    bool rdo = false;
    int threads = 0;
    bool force = false;
    py::object metadata;  // dict of the C API's fields, texts as bytes; None: none
};

// Texts of a metadata dict, kept alive while the writer copies them.
struct MetadataFields {
    std::list<std::string> held;  // a list: the strings never move
    kirune_bytes field(const py::dict& d, const char* key) {
        if (!d.contains(key) || d[key].is_none()) return kirune_bytes{nullptr, 0, 0};
        held.push_back(d[key].cast<std::string>());
        return kirune_bytes{reinterpret_cast<const uint8_t*>(held.back().data()), held.back().size(), 1};
    }
};

Writer makeWriter(const Coding& c) {
    Writer w(kirune_writer_create());
    if (!w) throw std::bad_alloc();
    // The C API leaves no text for a value out of range: say which.
    if (kirune_writer_set_preset(w.get(), c.preset) != KIRUNE_OK)
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "preset must be a digit 0-9"};
    if (c.psnr && kirune_writer_set_psnr_target(w.get(), *c.psnr) != KIRUNE_OK)
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "psnr must be above 0 and at most 200 dB"};
    if (kirune_writer_set_threads(w.get(), c.threads) != KIRUNE_OK)
        throw Failure{KIRUNE_ERROR_INVALID_ARGUMENT, "threads must be 0 (every core) or more"};
    check(kirune_writer_set_rate_aware(w.get(), c.rdo), w.get());
    check(kirune_writer_set_replace_existing(w.get(), c.force), w.get());
    if (!c.metadata.is_none()) {
        const auto d = c.metadata.cast<py::dict>();
        MetadataFields f;
        kirune_metadata m{};
        m.make = f.field(d, "make");
        m.model = f.field(d, "model");
        m.software = f.field(d, "software");
        m.date_time = f.field(d, "date_time");
        m.artist = f.field(d, "artist");
        m.description = f.field(d, "description");
        m.icc_profile = f.field(d, "icc_profile");
        m.carried_tags = f.field(d, "carried_tags");
        m.resolution_unit = d.contains("resolution_unit") ? d["resolution_unit"].cast<uint16_t>() : 0;
        m.x_resolution = d.contains("x_resolution") ? d["x_resolution"].cast<float>() : 0.0f;
        m.y_resolution = d.contains("y_resolution") ? d["y_resolution"].cast<float>() : 0.0f;
        check(kirune_writer_set_metadata(w.get(), &m), w.get());
    }
    return w;
}

py::dict resultDict(const kirune_result& r) {
    py::dict d;
    d["quality_level"] = r.quality_level;
    d["colour_sampling"] = r.colour_sampling;
    d["psnr"] = r.psnr;
    d["target_missed"] = r.target_missed != 0;
    d["bytes"] = r.bytes;
    return d;
}

// Into memory (path None: returns the container's bytes) or into a file
// (returns what was done).
py::object encode(const py::array& array, const py::object& path, const Coding& coding) {
    const Writer w = makeWriter(coding);
    const kirune_image image = imageOf(array);
    kirune_result result{};
    if (path.is_none()) {
        void* data = nullptr;
        std::size_t size = 0;
        int rc;
        {
            py::gil_scoped_release nogil;
            rc = kirune_writer_encode_to_memory(w.get(), &image, &data, &size, &result);
        }
        const std::unique_ptr<void, MemoryFree> owned(data);
        check(rc, w.get());
        return py::bytes(static_cast<const char*>(data), size);
    }
    const std::string target = path.cast<std::string>();
    int rc;
    {
        py::gil_scoped_release nogil;
        rc = kirune_writer_encode_to_path(w.get(), &image, target.c_str(), &result);
    }
    check(rc, w.get());
    return resultDict(result);
}

// One file as rpx does it; a file that fails is a report, not an exception.
py::dict fileJob(const std::string& input, bool expand, const py::object& outputDir, int existing, bool bmp,
                 const Coding& coding) {
    const Writer w = makeWriter(coding);
    const std::string dir = outputDir.is_none() ? std::string() : outputDir.cast<std::string>();
    const kirune_file_options options{dir.empty() ? nullptr : dir.c_str(), existing, bmp ? 1 : 0};
    kirune_file_report r{};
    int rc;
    {
        py::gil_scoped_release nogil;
        rc = expand ? kirune_writer_expand_file(w.get(), input.c_str(), &options, &r)
                    : kirune_writer_compress_file(w.get(), input.c_str(), &options, &r);
    }
    if (rc == KIRUNE_ERROR_INVALID_ARGUMENT || rc == KIRUNE_ERROR_OUT_OF_MEMORY) check(rc, w.get());
    py::dict d;
    d["status"] = r.status;
    d["code"] = rc;
    d["input"] = py::bytes(r.input ? r.input : input);
    d["output"] = r.output ? py::object(py::bytes(r.output)) : py::none();
    d["message"] = py::bytes(r.message ? r.message : "");
    d["input_bytes"] = r.input_bytes;
    d["output_bytes"] = r.output_bytes;
    d["width"] = r.width;
    d["height"] = r.height;
    d["psnr"] = r.psnr;
    d["quality_level"] = r.quality_level;
    d["colour_sampling"] = r.colour_sampling;
    d["target_missed"] = r.target_missed != 0;
    d["seconds"] = r.seconds;
    return d;
}

Coding coding(int preset, std::optional<double> psnr, bool rdo, int threads, bool force, py::object metadata) {
    return Coding{preset, psnr, rdo, threads, force, std::move(metadata)};
}

}  // namespace

PYBIND11_MODULE(_kirune, m) {
    m.doc() = "libkirune's C API; use the kirune package";
    // kirune.Error and its subclasses are defined in Python; looked up when raised.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure& f) {
            if (f.code == KIRUNE_ERROR_OUT_OF_MEMORY) {
                PyErr_SetString(PyExc_MemoryError, f.message.c_str());
                return;
            }
            try {
                const py::object cls = py::module_::import("kirune").attr("_error_class")(f.code);
                const py::object e = cls(f.message);
                e.attr("code") = f.code;
                PyErr_SetObject(cls.ptr(), e.ptr());
            } catch (py::error_already_set& e) {
                e.restore();
            }
        }
    });
    m.def("version", [] { return std::string(kirune_version_string()); });
    m.def("info", &info, py::arg("source"), py::arg("is_path"));
    m.def("read", &readPicture, py::arg("source"), py::arg("is_path"), py::arg("bits"), py::arg("max_pixels"));
    m.def(
        "encode",
        [](const py::array& array, const py::object& path, int preset, std::optional<double> psnr, bool rdo,
           int threads, bool force, py::object metadata) {
            return encode(array, path, coding(preset, psnr, rdo, threads, force, std::move(metadata)));
        },
        py::arg("array"), py::arg("path"), py::arg("preset"), py::arg("psnr"), py::arg("rdo"), py::arg("threads"),
        py::arg("force"), py::arg("metadata"));
    m.def(
        "file_job",
        [](const std::string& input, bool expand, const py::object& outputDir, int existing, bool bmp, int preset,
           std::optional<double> psnr, bool rdo, int threads) {
            return fileJob(input, expand, outputDir, existing, bmp,
                           coding(preset, psnr, rdo, threads, false, py::none()));
        },
        py::arg("input"), py::arg("expand"), py::arg("output_dir"), py::arg("existing"), py::arg("bmp"),
        py::arg("preset"), py::arg("psnr"), py::arg("rdo"), py::arg("threads"));
}
