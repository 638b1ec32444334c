// test_hurdle: the intensity test of test_features, joined with an exact test
// of detection for the features a group measured too rarely to test their
// intensities, and combined with it where a feature has both kinds of
// evidence, as hurdle models join their intensity and detection parts
// (Goeminne et al. 2020).
//
// The detection test is Fisher's exact test of measured / not measured
// against the groups (Freeman and Halton's for three or more groups). It
// conditions on the margins, so it is exact whatever the chance of each
// feature being measured, and however that chance depends on intensity: a
// test that modelled missingness from intensities would call more features
// absent from one group, but rests on that model being right for every
// feature, and a feature missed for other reasons (a peptide shared with
// another protein, an identification that fails in some runs) is then
// called changed. Its p-value enters a feature's answer only where its
// margins let it reach `level` (see kernels::detection::choose_evidence):
// with three samples a group it never does, so the answers are then those of
// the intensity test, with the same family of tests.
//
// Both parts of a feature, where both count, are joined by Fisher's
// combination of p-values. Given the margins, the detection test looks at
// where the misses fall, the intensity test at the measured values, so the
// two are independent under the null. Which parts a feature has depends on
// its counts in each group, so its answer is one of three tests chosen by
// the data: averaged over the margins a feature that did not change gets a
// p-value below a level no more often than the level says (enumerated
// exactly for 4 to 12 samples a group, and checked on simulated tables where
// nothing changes); at one particular number of measured samples it can be
// up to a quarter more often.
//
// The groups are those of test_features; a design of samples and a formula
// would take the same steps with its own detection p-values (an exact
// conditional logistic test of the design's coefficients).
#include "differential.hpp"

#include "kernels/detection.hpp"
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/numbers.hpp"
#include "pyapi/errors.hpp"

#include <cmath>
#include <map>

namespace tessera::differential {

namespace {

namespace kd = kernels::detection;

// The columns test_hurdle adds, in order.
int hurdle_labels(PyObject* correction, std::vector<ref>& labels) {
    labels = {pyapi::str("detection_p"), pyapi::str("detection_note"), pyapi::str("hurdle_p"),
              ref::steal(PyUnicode_Check(correction)
                             ? PyUnicode_FromFormat("hurdle_%U", correction)
                             : PyUnicode_FromString("hurdle_adjusted")),
              pyapi::str("hurdle_evidence")};
    for (const ref& label : labels)
        if (!label) return -1;
    return 0;
}

// The intensity test: test_features as the module holds it, with the same
// arguments, and the extra keyword arguments (trend, robust, legacy).
ref intensity_test(PyObject* module, pyapi::bound_args& a) {
    ref kwargs = ref::steal(PyDict_Copy(a.kwargs.get()));
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "min_valid", a[3]) < 0 ||
        PyDict_SetItemString(kwargs.get(), "multipletest_method", a[4]) < 0)
        return {};
    ref fn = pyapi::attr(module, "test_features");
    ref args = ref::steal(PyTuple_Pack(3, a[0], a[1], a[2]));
    if (!fn || !args) return {};
    return ref::steal(PyObject_Call(fn.get(), args.get(), kwargs.get()));
}

// The p-values of the intensity test, as a float64 array held in view.
int intensity_p(module_state* st, PyObject* result, PyObject* method, std::size_t rows,
                ref& array, pyapi::buffer& view) {
    ref label = ref::steal(PyUnicode_FromFormat("%U_p", method));
    ref column = label ? pyapi::item(result, label.get()) : ref();
    ref f64 = ref::borrow((*st)[object::float64]);
    array = column ? pyapi::call_method(column.get(), "to_numpy", {}, {{"dtype", f64.get()}}) : ref();
    if (!array || view.acquire(array.get(), PyBUF_FORMAT) < 0) return -1;
    if (static_cast<std::size_t>(view.length()) != rows || view.itemsize() != 8) {
        PyErr_SetString(PyExc_SystemError, "the intensity test gave p-values of another shape");
        return -1;
    }
    return 0;
}

// The level argument: a number in (0, 1].
int read_level(PyObject* value, double& level) {
    if (pyapi::read_real(value, "level", level) < 0) return -1;
    if (level > 0.0 && level <= 1.0) return 0;
    return pyapi::refuse(PyExc_ValueError, {"level", nullptr, nullptr, value},
                         "level must lie in (0, 1], got %R", value);
}

// What a call computes per feature.
struct hurdle_work {
    std::vector<std::int64_t> sizes;                // samples per group
    std::size_t everyone = 0;                       // samples of all groups
    std::vector<std::vector<std::int64_t>> counts;  // [group][row]: samples that measured it
    std::vector<std::int64_t> measured;             // [row]: samples of all groups that did
    std::vector<double> detection_p, least, statistic, answer;
    std::vector<std::uint8_t> evidence;
};

// detection_note: "" where the detection test enters the answer, else why not.
ref detection_notes(const hurdle_work& w, PyObject* level, std::size_t rows) {
    const auto everyone = static_cast<std::int64_t>(w.everyone);
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    ref empty = pyapi::str("");
    ref all = pyapi::str("measured in every sample");
    ref none = pyapi::str("measured in no sample");
    ref too_many = pyapi::str("these groups have too many tables for the exact test");
    if (!list || !empty || !all || !none || !too_many) return {};
    std::map<std::int64_t, ref> short_of_level;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int64_t measured = w.measured[r];
        ref note;
        if (w.evidence[r] == kd::detection || w.evidence[r] == kd::both) {
            note = empty;
        } else if (measured == everyone || measured == 0) {
            note = measured ? all : none;
        } else if (std::isnan(w.detection_p[r])) {
            note = too_many;
        } else {
            ref& cached = short_of_level[measured];
            if (!cached)
                cached = ref::steal(PyUnicode_FromFormat(
                    "with %lld of %lld samples measured the test cannot reach %R",
                    static_cast<long long>(measured), static_cast<long long>(everyone), level));
            note = cached;
        }
        if (!note) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), note.release());
    }
    return list;
}

// hurdle_evidence: "intensity", "detection", "both" or "".
ref evidence_names(const hurdle_work& w, std::size_t rows) {
    static const char* const names[] = {"", "intensity", "detection", "both"};
    ref text[4];
    for (int k = 0; k < 4; ++k)
        if (!(text[k] = pyapi::str(names[k]))) return {};
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!list) return {};
    for (std::size_t r = 0; r < rows; ++r)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), Py_NewRef(text[w.evidence[r]].get()));
    return list;
}

// A float64 array copy of values.
ref float_array(module_state* st, const std::vector<double>& values) {
    frames::output_column out((*st)[object::numpy], values.size());
    if (!out) return {};
    std::copy(values.begin(), values.end(), out.data());
    return out.take();
}

// The detection tests and the evidence of every row, from the group table
// and the intensity p-values.
int detect(const group_table& table, const double* intensity, double level, hurdle_work& w) {
    const std::size_t rows = table.rows(), groups = table.lists.size();
    pyapi::interrupt_scope ctrl_c;
    pyapi::cancel_watch watch;
    bool done = false;
    if (pyapi::without_gil([&] {
            std::vector<const std::int64_t*> columns;
            w.counts.assign(groups, std::vector<std::int64_t>(rows));
            for (std::size_t g = 0; g < groups; ++g) {
                kernels::count_finite(table.lists[g], rows, w.counts[g].data());
                columns.push_back(w.counts[g].data());
            }
            w.measured.resize(rows);
            kernels::count_finite(table.values.slice(0, w.everyone), rows, w.measured.data());
            for (auto* v : {&w.detection_p, &w.least, &w.statistic, &w.answer}) v->resize(rows);
            w.evidence.resize(rows);
            done = kd::exact_tests(columns.data(), w.sizes.data(), groups, rows,
                                   w.detection_p.data(), w.least.data(), pyapi::should_cancel,
                                   &watch);
            if (done)
                kd::choose_evidence(intensity, w.detection_p.data(), w.least.data(), level, rows,
                                    w.evidence.data(), w.statistic.data());
        }) < 0)
        return -1;
    return done ? 0 : watch.result();
}

// The combined p-values where both parts count: the chi-square tail of
// Fisher's statistic with 4 df, from scipy.special, then every row's answer.
int answers(module_state* st, hurdle_work& w, const double* intensity) {
    ref four = ref::steal(PyLong_FromLong(4));
    ref statistic = float_array(st, w.statistic);
    ref combined = four && statistic
                       ? pyapi::call((*st)[object::chdtrc], {four.get(), statistic.get()})
                       : ref();
    ref f64 = ref::borrow((*st)[object::float64]);
    ref array = combined ? pyapi::call(pyapi::attr((*st)[object::numpy], "ascontiguousarray"),
                                       {combined.get()}, {{"dtype", f64.get()}})
                         : ref();
    pyapi::buffer view;
    if (!array || view.acquire(array.get(), PyBUF_FORMAT) < 0) return -1;
    if (static_cast<std::size_t>(view.length()) != w.answer.size()) {
        PyErr_SetString(PyExc_SystemError, "scipy.special.chdtrc gave an array of another shape");
        return -1;
    }
    kd::hurdle_answers(w.evidence.data(), intensity, w.detection_p.data(),
                       static_cast<const double*>(view.data()), w.answer.size(), w.answer.data());
    return 0;
}

}  // namespace

PyObject* test_hurdle(PyObject* module, pyapi::bound_args& a) {
    module_state* st = state_of(module);
    PyObject* df = a[0];
    double level = 0;
    std::vector<group> groups;
    std::vector<ref> labels;
    if (check_frame(st, df) < 0 || read_level(a[5], level) < 0 ||
        hurdle_labels(a[4], labels) < 0 || check_free(df, labels, "test_hurdle") < 0)
        return nullptr;
    ref result = intensity_test(module, a);
    group_table table;
    if (!result || read_groups(st, df, a[1], groups) < 0 || table.load(st, df, groups) < 0)
        return nullptr;
    const std::size_t rows = table.rows();
    ref intensity;
    pyapi::buffer intensity_view;
    if (intensity_p(st, result.get(), a[2], rows, intensity, intensity_view) < 0) return nullptr;
    const auto* p_intensity = static_cast<const double*>(intensity_view.data());

    hurdle_work w;
    for (const group& g : groups) {
        w.sizes.push_back(static_cast<std::int64_t>(g.positions.size()));
        w.everyone += g.positions.size();
    }
    if (detect(table, p_intensity, level, w) < 0 || answers(st, w, p_intensity) < 0) return nullptr;
    ref answer = float_array(st, w.answer);
    std::vector<ref> columns{float_array(st, w.detection_p), detection_notes(w, a[5], rows), answer,
                             answer ? adjusted(st, answer.get(), a[4]) : ref(),
                             evidence_names(w, rows)};
    if (append_columns(result.get(), labels, columns) < 0) return nullptr;
    return result.release();
}

}  // namespace tessera::differential
