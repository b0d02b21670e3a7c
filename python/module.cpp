// The Python module sonoscriptor: libsonoscriptor's transcribe() for a file or a NumPy array,
// the notes as a NumPy structured array, and sonoscriptor.Error with the command's sentence.
// The work runs with the GIL released; the calling thread takes it back only to report
// progress, to look at a cancel event and to let Ctrl-C (KeyboardInterrupt) stop the work.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <set>

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sonoscriptor/sonoscriptor.h>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// sonoscriptor.Error, made once with the module and kept for the life of the interpreter.
PyObject *errorType = nullptr;

// Raises sonoscriptor.Error for the library's error: str() is the command's line; exit_code
// and sentence say the rest.
void raiseError(const sonoscriptor::Error &e) {
    py::object error = py::reinterpret_borrow<py::object>(errorType)(e.what());
    error.attr("exit_code") = e.exit_code();
    error.attr("sentence") = e.sentence();
    PyErr_SetObject(errorType, error.ptr());
}

// A path given as str, bytes or os.PathLike, as the bytes the system takes; a NUL in it is refused
// (ValueError, as open() does) rather than cutting the name short.
std::string pathOf(const py::handle &path) {
    std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte in the path " + py::repr(path).cast<std::string>());
    return bytes;
}

// The value of a keyword argument as T; a value of another type raises TypeError with the keyword,
// what it takes and what it got.
template <class T>
T keywordValue(const std::string &key, const py::handle &value, const char *takes) {
    try {
        return value.cast<T>();
    } catch (const py::cast_error &) {
        throw py::type_error("transcribe(): " + key + " takes " + takes + ", not " +
                             py::repr(value).cast<std::string>());
    }
}

// The keyword arguments a transcription takes, as the library's options.
sonoscriptor::Options optionsOf(const py::kwargs &kwargs) {
    sonoscriptor::Options o;
    std::optional<double> tuning;
    for (const auto &[keyHandle, value] : kwargs) {
        std::string key = py::cast<std::string>(keyHandle);
        if (value.is_none())
            continue;
        const char *number = "a number", *text = "a str", *whole = "a whole number", *flag = "True or False";
        if (key == "tempo") o.tempo = keywordValue<double>(key, value, number);
        else if (key == "time_signature") o.time_signature = keywordValue<std::string>(key, value, text);
        else if (key == "grid") o.grid = keywordValue<std::string>(key, value, text);
        else if (key == "key") o.key = keywordValue<std::string>(key, value, text);
        else if (key == "scale_only") o.scale_only = keywordValue<bool>(key, value, flag);
        else if (key == "instrument") o.instrument = keywordValue<std::string>(key, value, text);
        else if (key == "start") o.start = keywordValue<double>(key, value, number);
        else if (key == "end") o.end = keywordValue<double>(key, value, number);
        else if (key == "transpose") o.transpose = keywordValue<int>(key, value, whole);
        else if (key == "raw") o.raw = keywordValue<bool>(key, value, flag);
        else if (key == "quantize") o.quantize = keywordValue<bool>(key, value, flag);
        else if (key == "tuning") tuning = keywordValue<double>(key, value, number);
        else if (key == "tempo_map") o.tempo_map = pathOf(value);
        else if (key == "settings_file") o.settings_file = pathOf(value);
        else if (key == "settings")
            for (const auto &[k, v] : keywordValue<py::dict>(key, value, "a dict"))
                o.settings.emplace_back(py::str(k).cast<std::string>(), py::str(v).cast<std::string>());
        else if (key == "command_options")
            o.command_options = keywordValue<std::vector<std::string>>(key, value, "a list of str");
        else if (key == "engine") o.engine = pathOf(value);
        else throw py::type_error("transcribe() got an unexpected keyword argument '" + key + "'");
    }
    // The library's options have no member for it: it goes as the command's option, which
    // checks its range and says what is wrong with it.
    if (tuning)
        o.command_options.insert(o.command_options.begin(), {"--tuning", py::repr(py::float_(*tuning)).cast<std::string>()});
    return o;
}

// Interleaved float samples of a NumPy array of frames (one dimension: one channel; two:
// frames by channels); whole-number arrays are read at their full scale (int16: 1/32768).
std::vector<float> samplesOf(const py::array &array, int &channels) {
    if (array.ndim() != 1 && array.ndim() != 2)
        throw py::value_error("give samples as a 1-dimensional array (one channel) or frames by channels");
    channels = array.ndim() == 2 ? static_cast<int>(array.shape(1)) : 1;
    py::dtype type = array.dtype();
    double scale = 1;
    if (type.kind() == 'i')
        scale = std::ldexp(1.0, 8 * static_cast<int>(type.itemsize()) - 1);
    else if (type.kind() != 'f')
        throw py::type_error("give samples as floats (-1..1) or signed integers");
    auto doubles = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    std::vector<float> samples(static_cast<size_t>(doubles.size()));
    const double *data = doubles.data();
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(data[i] / scale);
    return samples;
}

// The transcriptions running now, by their cancel flags: an interpreter that shuts down stops them and
// waits for them (stopRunning) before it finalizes, so that no thread is inside the library while the
// interpreter and the process tear down what it uses. Made once and never destroyed: a thread may
// still leave it as the process ends.
struct Running {
    std::mutex lock;
    std::condition_variable ended;
    std::set<std::atomic<bool> *> cancels;
};
Running &running = *new Running;

// Counts a transcription as running from its construction to its destruction.
class RunningGuard {
  public:
    explicit RunningGuard(std::atomic<bool> *cancel) : cancel_(cancel) {
        std::lock_guard<std::mutex> held(running.lock);
        running.cancels.insert(cancel_);
    }
    ~RunningGuard() {
        std::lock_guard<std::mutex> held(running.lock);
        running.cancels.erase(cancel_);
        running.ended.notify_all();
    }
    RunningGuard(const RunningGuard &) = delete;
    RunningGuard &operator=(const RunningGuard &) = delete;

  private:
    std::atomic<bool> *cancel_;
};

// Run at the interpreter's exit (atexit, before it finalizes): cancels every running transcription
// and waits, the GIL released, up to 30 s for them to end (a cancelled one ends within a progress
// step; their threads take the GIL to report and to raise).
void stopRunning() {
    py::gil_scoped_release released;
    std::unique_lock<std::mutex> held(running.lock);
    for (std::atomic<bool> *cancel : running.cancels)
        *cancel = true;
    running.ended.wait_for(held, std::chrono::seconds(30), [] { return running.cancels.empty(); });
}

// The transcription work returns, with the GIL released while it runs. A thread the interpreter
// ends as it shuts down (it calls in to report progress) leaves without taking the GIL back: the
// library has stopped the work and removed its files, and the thread unwinds to its end.
template <class Work>
sonoscriptor::Transcription withoutGil(const Work &work) {
    py::gil_scoped_release released;
    try {
        return work();
    } catch (...) {
        if (!std::current_exception())  // the thread being ended: no C++ exception
            released.disarm();
        throw;
    }
}

// Transcribes with the GIL released; progress, cancel and Ctrl-C are looked at with it held.
sonoscriptor::Transcription run(const py::object &source, std::optional<int> sampleRate, const py::kwargs &kwargs) {
    py::kwargs rest;
    py::object progress = py::none(), cancel = py::none();
    for (const auto &[key, value] : kwargs) {
        std::string name = py::cast<std::string>(key);
        if (name == "progress") progress = py::reinterpret_borrow<py::object>(value);
        else if (name == "cancel") cancel = py::reinterpret_borrow<py::object>(value);
        else rest[key] = value;
    }
    sonoscriptor::Options options = optionsOf(rest);
    std::atomic<bool> cancelled{false};
    options.cancel = &cancelled;
    RunningGuard counted(&cancelled);
    options.progress = [&](const sonoscriptor::Progress &p) {
        py::gil_scoped_acquire held;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (!cancel.is_none() && cancel.attr("is_set")().cast<bool>())
            cancelled = true;
        if (!progress.is_none())
            progress(p.fraction, p.stage);
    };
    bool isArray = py::isinstance<py::array>(source) || py::isinstance<py::list>(source);
    if (!isArray) {
        std::string path = pathOf(source);
        return withoutGil([&] { return sonoscriptor::transcribe(path, options); });
    }
    if (!sampleRate)
        throw py::value_error("give the sample_rate of an array of samples");
    int channels = 1;
    py::array array = py::array::ensure(source);
    if (!array)  // a list NumPy cannot make an array of, such as one of rows of different lengths
        throw py::value_error("give samples as a list or array of numbers, with rows of one length");
    std::vector<float> samples = samplesOf(array, channels);
    return withoutGil([&] { return sonoscriptor::transcribe(samples, *sampleRate, channels, options); });
}

template <class T>
py::array_t<T> arrayOf(const std::vector<T> &values) {
    return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

}  // namespace

PYBIND11_MODULE(sonoscriptor, m) {
    m.doc() = "Polyphonic music transcription: notes, beats, metre and key of recordings, as the "
              "sonoscriptor command finds them.";
    m.attr("__version__") = sonoscriptor::version();
    py::module_::import("atexit").attr("register")(py::cpp_function(&stopRunning));
    PYBIND11_NUMPY_DTYPE(sonoscriptor::Note, onset, offset, pitch, velocity, bar, beat);
    PYBIND11_NUMPY_DTYPE(sonoscriptor::TempoChange, time, bpm);
    py::object error = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("sonoscriptor.Error",
                                  "A transcription failed: str() is the command's line, exit_code its exit "
                                  "status, sentence its sentence.",
                                  nullptr, nullptr));
    m.attr("Error") = error;
    errorType = error.release().ptr();  // kept for the life of the interpreter
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const sonoscriptor::Error &e) {
            raiseError(e);
        }
    });

    py::class_<sonoscriptor::Transcription>(m, "Transcription", "What a recording was transcribed into.")
        .def_property_readonly("notes", [](const sonoscriptor::Transcription &t) { return arrayOf(t.notes); },
                               "the notes in order of onsets: a structured array of onset and offset (seconds), "
                               "pitch (MIDI key), velocity, bar (0: a pick-up) and beat (from 1)")
        .def_property_readonly("tempo_map", [](const sonoscriptor::Transcription &t) { return arrayOf(t.tempo_map); },
                               "the tempo from each time on: a structured array of time (seconds) and bpm "
                               "(quarter notes a minute)")
        .def_property_readonly("beats", [](const sonoscriptor::Transcription &t) { return arrayOf(t.beats); },
                               "seconds of every beat counted")
        .def_property_readonly("downbeats", [](const sonoscriptor::Transcription &t) { return arrayOf(t.downbeats); },
                               "seconds of the beats that begin a bar")
        .def_readonly("beats_tracked", &sonoscriptor::Transcription::beats_tracked)
        .def_property_readonly("time_signature", [](const sonoscriptor::Transcription &t) {
            return py::make_tuple(t.time_signature.numerator, t.time_signature.denominator);
        }, "(numerator, denominator)")
        .def_property_readonly("key", [](const sonoscriptor::Transcription &t) -> py::object {
            return t.key.known ? py::str(t.key.name) : py::object(py::none());
        }, "the key, e.g. 'A minor'; None when none was found or asked for")
        .def_property_readonly("key_fifths", [](const sonoscriptor::Transcription &t) -> py::object {
            return t.key.known ? py::int_(t.key.fifths) : py::object(py::none());
        }, "the key signature: sharps, or flats when negative; None without a key")
        .def_property_readonly("chords", [](const sonoscriptor::Transcription &t) {
            py::list chords;
            for (const sonoscriptor::Chord &c : t.chords)
                chords.append(py::make_tuple(c.time, c.name));
            return chords;
        }, "the chord markers: (seconds, name)")
        .def_property_readonly("midi_bytes", [](const sonoscriptor::Transcription &t) {
            return py::bytes(reinterpret_cast<const char *>(t.midi_file.data()), t.midi_file.size());
        }, "the Standard MIDI File the command writes")
        .def("write_midi", [](const sonoscriptor::Transcription &t, const py::object &path) {
            sonoscriptor::write_midi(t, pathOf(path));
        }, "path"_a, "Writes the MIDI file.")
        .def("write_musicxml", [](const sonoscriptor::Transcription &t, const py::object &path) {
            sonoscriptor::write_musicxml(t, pathOf(path));
        }, "path"_a, "Writes the score as MusicXML (.musicxml, .xml, or compressed .mxl).")
        .def("__repr__", [](const sonoscriptor::Transcription &t) {
            return "<sonoscriptor.Transcription: " + std::to_string(t.notes.size()) + " notes>";
        });

    m.def("transcribe", &run, "path_or_array"_a, "sample_rate"_a = py::none(),
          "Transcribes a recording: a path, or a NumPy array of samples (frames, or frames by channels; "
          "floats -1..1 or signed integers) with its sample_rate. Keywords: the command's options "
          "(tempo, time_signature, grid, key, scale_only, instrument, start, end, transpose, raw, "
          "quantize, tuning, tempo_map, settings_file, settings={KEY: VALUE}, command_options=[...], engine), "
          "progress=callable(fraction, stage) and cancel=threading.Event(). Raises sonoscriptor.Error.");
}
