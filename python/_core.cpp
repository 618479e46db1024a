// SPDX-License-Identifier: MIT
// ravlox._core: the compiled half of the Python module. It reads a TOKEN
// file into memory through the program's own reader, validation and
// conversion, and runs the whole command line with its lines gathered in
// memory. Nothing about the format or the arithmetic lives here: this file
// only moves what the program computes into Python objects.
#include "driver/driver.h"
#include "driver/messages.h"
#include "matout/convert.h"
#include "tokenfile/tokenfile.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// ravlox.TokenFileError, made when the module is loaded.
PyObject *tokenfileerror = nullptr;

// What reading one file came to.
struct reading {
    bool opened;         // topen gave a handle
    int why;             // topen's code when it did not
    const char *refused; // the reason the file is not converted, or null
    bool nomem;
    tsummary sum;
    float *tokens;       // max(ntok, 0) x npts singles, token after token (malloc)
    figures fig;         // the last token's figures; fig_start without tokens
    bool missing;        // the conversion used bytes the file lacks
};

// Opens, validates and converts the file at path into r, exactly as the
// command line does for a file converted alone. Touches no program-wide
// state and needs no Python object, so it runs without the GIL; its
// working storage (the handle, the raw samples) is its own.
void readtokens(const char *path, reading *r)
{
    tfile *tf = topen(path, &r->why);
    if (!tf)
        return;
    r->opened = true;
    r->refused = refusal(tf);
    if (r->refused) {
        tclose(tf);
        return;
    }
    r->sum = summarize(tf);
    int16_t npts = r->sum.npts;
    size_t rows = r->sum.ntok > 0 ? (size_t)r->sum.ntok : 0;
    size_t count = rows * (size_t)npts;
    r->tokens = (float *)malloc(count > 0 ? count * sizeof(float) : 1);
    int32_t nblk = tblocks(npts);
    int16_t *raw = (int16_t *)malloc((size_t)(nblk > 0 ? nblk : 1) * blksz);
    if (!r->tokens || !raw) {
        free(r->tokens);
        free(raw);
        r->tokens = nullptr;
        r->nomem = true;
        tclose(tf);
        return;
    }
    r->fig = fig_start;
    for (size_t i = 1; i <= rows; i++)
        tokconv(tf, (int32_t)i, npts, raw, (unsigned char *)(r->tokens + (i - 1) * npts),
                &r->fig);
    r->missing = tf->missing;
    free(raw);
    tclose(tf);
}

[[noreturn]] void raise_nul()
{
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    throw py::error_already_set();
}

// _core.read(path, name): path is the file name's bytes, name what the
// OSError of a failed open names. Returns (ntok, npts, rate, tokens, reps,
// ppc, vpc, incomplete).
py::tuple readfile(py::bytes path, py::object name)
{
    std::string p = path;
    if (p.find('\0') != std::string::npos)
        raise_nul();
    reading r = {};
    {
        py::gil_scoped_release nogil;
        readtokens(p.c_str(), &r);
    }
    if (!r.opened) {
        if (r.why > 0) {
            errno = r.why;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        } else {
            PyErr_SetString(tokenfileerror, openfailure(r.why));
        }
        throw py::error_already_set();
    }
    if (r.refused) {
        PyErr_SetString(tokenfileerror, r.refused);
        throw py::error_already_set();
    }
    if (r.nomem)
        throw std::bad_alloc();
    // The array takes over the buffer: the capsule frees it with the array.
    py::capsule owner(r.tokens, [](void *q) { free(q); });
    py::ssize_t rows = r.sum.ntok > 0 ? r.sum.ntok : 0;
    py::array_t<float> tokens({rows, (py::ssize_t)r.sum.npts}, r.tokens, owner);
    return py::make_tuple((int)r.sum.ntok, (int)r.sum.npts, (long)r.sum.rate, tokens,
                          (int)r.fig.reps, (double)onenan(r.fig.ppc),
                          (double)onenan(r.fig.vpc), r.missing);
}

// _core.run(args): the command line over the argument bytes args, with
// the GIL held throughout (the run uses the program's state). Returns the
// bytes of its standard output and of its error stream.
py::tuple runline(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("ravlox"));
    for (const std::string &a : args) {
        if (a.find('\0') != std::string::npos)
            raise_nul();
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    textout out = {-1, nullptr, 0, 0, 0}, err = {-1, nullptr, 0, 0, 0};
    ravlox_run((int)args.size() + 1, argv.data(), &out, &err);
    py::bytes o(out.buf ? out.buf : "", out.len), e(err.buf ? err.buf : "", err.len);
    bool nomem = out.err == ENOMEM || err.err == ENOMEM;
    free(out.buf);
    free(err.buf);
    if (nomem)
        throw std::bad_alloc();
    return py::make_tuple(o, e);
}

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "The compiled core of ravlox: the program's reader and conversion.";
    tokenfileerror = PyErr_NewExceptionWithDoc(
        "ravlox.TokenFileError",
        "The file is not a TOKEN file that ravlox converts; the message is the\n"
        "reason the command line gives for it.",
        PyExc_ValueError, nullptr);
    if (!tokenfileerror)
        throw py::error_already_set();
    m.attr("TokenFileError") = py::handle(tokenfileerror);
    m.attr("missing_format") = fmt_missing;
    m.def("read", &readfile, py::arg("path"), py::arg("name"));
    m.def("run", &runline, py::arg("args"));
}
