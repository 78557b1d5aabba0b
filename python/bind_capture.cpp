// Capture: every sample of a client's streams, drained as NumPy columns.
//
// Waiting releases the interpreter lock in short slices, so other Python threads run
// meanwhile and Ctrl-C (any signal handler) is served within a slice.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "capture/capture.hpp"
#include "capture/stream_status.hpp"
#include "python/capture_bindings.hpp"

namespace py = pybind11;

namespace korvel::python {

namespace {

using quor::Capture;
using Clock = std::chrono::steady_clock;

constexpr auto kSlice = std::chrono::milliseconds(50);
// Rate assumed for a capacity in seconds when the robot has not been heard for a second.
constexpr double kAssumedRateHz = 1000.0;

std::string Text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// A duration in seconds that must be a positive, finite number.
std::chrono::nanoseconds Seconds(double value, const char* name, bool zero_allowed) {
  if (!std::isfinite(value) || value < 0.0 || (!zero_allowed && value == 0.0)) {
    throw py::value_error(std::string(name) + " must be a " +
                          (zero_allowed ? "non-negative" : "positive") +
                          " number of seconds, got " + Text(value));
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(value));
}

std::size_t Capacity(const quor::Client& client,
                     const std::optional<std::variant<long long, double>>& capacity,
                     const std::optional<double>& seconds) {
  if (capacity && seconds) {
    throw py::value_error("give capacity (samples) or seconds, not both");
  }
  if (seconds) {
    (void)Seconds(*seconds, "seconds", false);
    const auto status = quor::GetStreamStatus(client);
    const double rate = std::max(status.basic.rate_hz, status.extra.rate_hz);
    const double samples = std::ceil(*seconds * (rate >= 1.0 ? rate : kAssumedRateHz));
    if (samples > 1e9) throw py::value_error("seconds " + Text(*seconds) + " is too long a buffer");
    return static_cast<std::size_t>(samples);
  }
  if (!capacity) return quor::CaptureOptions{}.capacity;
  if (const double* d = std::get_if<double>(&*capacity)) {
    throw py::value_error("capacity must be a whole number of samples of at least 1, got " +
                          Text(*d));
  }
  const long long n = std::get<long long>(*capacity);
  if (n < 1 || n > 1'000'000'000LL) {
    throw py::value_error("capacity must be a whole number of samples from 1 to 1000000000, got " +
                          std::to_string(n));
  }
  return static_cast<std::size_t>(n);
}

// Waits up to `timeout` in slices without the interpreter lock; raises what a signal
// handler raised.
bool WaitInterruptibly(Capture& capture, std::chrono::nanoseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto left = deadline - Clock::now();
    bool ready = false;
    {
      py::gil_scoped_release release;
      ready = capture.Wait(std::min<std::chrono::nanoseconds>(left, kSlice));
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (ready) return true;
    if (Clock::now() >= deadline || !capture.Receiving()) return false;
  }
}

// Iterator of batches, one every `period`.
struct Batches {
  py::object owner;  // keeps the Capture alive
  Capture* capture;
  std::chrono::nanoseconds period;
  Clock::time_point due;

  quor::CaptureBatch Next() {
    while (true) {
      const auto now = Clock::now();
      if (now >= due) break;
      {
        py::gil_scoped_release release;
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(due - now, kSlice));
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    due += period;
    if (Clock::now() > due) due = Clock::now() + period;  // fell behind: no burst of batches
    try {
      py::gil_scoped_release release;
      return capture->Drain();
    } catch (const std::runtime_error&) {
      throw py::stop_iteration();  // the client is gone (or the capture closed), all drained
    }
  }
};

}  // namespace

void BindCapture(py::module_& m) {
  py::class_<Batches>(m, "Batches", "Iterator of batches, one every period seconds.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &Batches::Next);

  py::class_<Capture>(m, "Capture",
                      "Every sample of a client's two streams, in arrival order, in a bounded "
                      "buffer per stream until drained.")
      .def(py::init([](const quor::Client& client,
                       std::optional<std::variant<long long, double>> capacity,
                       std::optional<double> seconds, bool keep_payloads, long long max_bytes,
                       bool columns) {
             quor::CaptureOptions options;
             options.capacity = Capacity(client, capacity, seconds);
             options.keep_payloads = keep_payloads;
             if (max_bytes < 1) {
               throw py::value_error("max_bytes must be at least 1, got " +
                                     std::to_string(max_bytes));
             }
             options.max_bytes = static_cast<std::size_t>(max_bytes);
             options.columns = columns;
             return std::make_unique<Capture>(client, options);  // invalid_argument: ValueError
           }),
           py::arg("client"), py::arg("capacity") = py::none(), py::arg("seconds") = py::none(),
           py::arg("keep_payloads") = false,
           py::arg("max_bytes") = static_cast<long long>(quor::CaptureOptions{}.max_bytes),
           py::arg("columns") = true,
           "capacity: samples kept per stream (default 10000, 10 s at 1 kHz), or seconds: that "
           "many seconds at the rate measured over the last second (1 kHz if none yet). "
           "keep_payloads: also keep every payload as received (batch.basic.raw). max_bytes: "
           "storage per stream beyond which the oldest samples are dropped too (default "
           "256 MiB), so that a flood of huge samples cannot exhaust the memory. columns=False "
           "(with keep_payloads): batches hold only the raw samples, for less work per sample.")
      .def("drain", &Capture::Drain, py::call_guard<py::gil_scoped_release>(),
           "Everything received since the previous drain. Raises RuntimeError once the client "
           "is gone (or the capture closed) and nothing is left.")
      .def(
          "wait",
          [](Capture& c, double timeout) {
            return WaitInterruptibly(c, Seconds(timeout, "timeout", true));
          },
          py::arg("timeout"),
          "Waits up to timeout seconds for a sample to drain; False at the timeout or when "
          "the capture no longer receives. Other threads and signals are served meanwhile.")
      .def(
          "batches",
          [](py::object self, double period) {
            const auto step = Seconds(period, "period", false);
            return Batches{self, &self.cast<Capture&>(), step, Clock::now() + step};
          },
          py::arg("period"), "Iterator yielding drain() every period seconds.")
      .def("close", &Capture::Close, "Stops receiving; what was received can still be drained.")
      .def_property_readonly("capacity", &Capture::capacity)
      .def_property_readonly("keeps_payloads", &Capture::keeps_payloads)
      .def_property_readonly("pending", &Capture::Pending)
      .def_property_readonly("receiving", &Capture::Receiving)
      .def_property_readonly(
          "dropped",
          [](const Capture& c) {
            return std::map<std::string, std::uint64_t>{{"basic", c.Dropped(quor::Stream::Basic)},
                                                        {"extra", c.Dropped(quor::Stream::Extra)}};
          },
          "Samples per stream dropped unseen because the buffer was full.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Capture& c, py::args) { c.Close(); });
}

}  // namespace korvel::python
