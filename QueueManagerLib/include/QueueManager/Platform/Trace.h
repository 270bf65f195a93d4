#pragma once

// The trace library: named topics with a level threshold, formatted trace
// records and the sinks that receive them.
//
//   W4Trace::CTopic& topic = W4Trace::QueueManagerTopic();
//   QM_TRACE(topic, W4Trace::kLevelDetail, "QueueManager::Foo", "Foo({},{})", a, b);
//   QM_TRACE_CTX(topic, W4Trace::kLevelFailure,
//                W4Trace::CContext("QueueManager::Foo", W4Trace::kMessageTypeNormal, {{1, id}}),
//                "{} failed", id);
//   QM_TRACE_SCOPE(W4Trace::ScopeTopic(), "QueueManager::CQmCache::Activate");
//
// A trace of level L on a topic is written when 0 < L <= the topic's level;
// level 0 switches a topic off. The macros test the level before they
// evaluate any argument, so a disabled trace costs one relaxed atomic load.
//
// The environment variable QM_TRACE, read once at the first use of the
// library, sets topic levels and sends every record to stderr:
//   QM_TRACE=81                               every topic at 81
//   QM_TRACE=QueueManager:81,QueueManagerScope:21

#include <atomic>
#include <chrono>
#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/core.h>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace W4Trace {

inline constexpr int kLevelOff = 0;
inline constexpr int kLevelFailure = 11;  ///< an operation failed
inline constexpr int kLevelWarning = 21;  ///< unexpected but handled
inline constexpr int kLevelDetail = 81;   ///< routine detail: entries, results, decisions
inline constexpr int kLevelMax = 100;

inline constexpr int kMessageTypeNormal = 2;
inline constexpr int kMessageTypeWarning = 3;

/// A named trace topic with its level threshold. Thread-safe: the level is an
/// atomic that any thread may read or change. Not copyable; topics obtained
/// from RegisterTopic live until the process exits.
class QM_EXPORT CTopic {
 public:
  /// A topic made directly is private to its owner; RegisterTopic gives the
  /// process-wide topic of a name.
  explicit CTopic(std::string name, int level = kLevelOff);
  CTopic(const CTopic&) = delete;
  CTopic& operator=(const CTopic&) = delete;

  /// Whether a record of `level` is written: a level above off and at most the threshold.
  ///@{
  bool IsEnabled(int level) const noexcept {
    return level > kLevelOff && level <= threshold_.load(std::memory_order_relaxed);
  }
  ///@}
  /// Values outside 0..100 are clamped.
  void SetLevel(int level) noexcept;
  /// The threshold, and the topic's name.
  ///@{
  int Level() const noexcept { return threshold_.load(std::memory_order_relaxed); }
  std::string_view Name() const noexcept { return name_; }
  ///@}

 private:
  const std::string name_;
  std::atomic<int> threshold_;
};

/// Returns the process-wide topic of `name`: the same object for the same name
/// (names compare exactly). Thread-safe. A new topic starts at the level that
/// QM_TRACE gives it, else off.
QM_EXPORT CTopic& RegisterTopic(std::string_view name);

/// The library's topics: "QueueManager" for all traces, "QueueManagerScope"
/// for entry and exit of cache and monitor functions, "QueueManagerMemoryUsage".
QM_EXPORT CTopic& QueueManagerTopic();
QM_EXPORT CTopic& ScopeTopic();
QM_EXPORT CTopic& MemoryUsageTopic();

/// One context attribute of a trace (for example the interaction id as
/// attribute 1). A value type; not synchronised.
struct QM_EXPORT CContextAttribute {
  /// An attribute's index and its text (any value fmt can format, for the second form).
  ///@{
  CContextAttribute(int attributeIndex, std::string attributeText)
      : index(attributeIndex), text(std::move(attributeText)) {}
  ///@}
  /// Any other printable value is stored in its fmt text form ("{}").
  template <class T>
  requires(!std::is_convertible_v<const T&, std::string> && fmt::is_formattable<T>::value)
      CContextAttribute(int attributeIndex, const T& value)
      : index(attributeIndex), text(fmt::format("{}", value)) {}

  /// Index and text alike.
  ///@{
  friend bool operator==(const CContextAttribute&, const CContextAttribute&) = default;
  ///@}

  /// The attribute's index and text.
  ///@{
  int index;
  std::string text;
  ///@}
};

/// Where a trace comes from and how it is classified: function name, message
/// type, context attributes and, optionally, the source file name. A value
/// type; not synchronised.
/// REQUIRES: the viewed strings outlive the trace call (normally literals).
class QM_EXPORT CContext {
 public:
  /// The function's name and the record's message type; the source file, when given.
  ///@{
  explicit CContext(std::string_view functionName, int type = kMessageTypeNormal,
                    std::vector<CContextAttribute> contextAttributes = {},
                    std::string_view sourceFile = {})
      : function(functionName),
        messageType(type),
        attributes(std::move(contextAttributes)),
        file(sourceFile) {}
  ///@}

  /// What the context says: the function, message type, attributes and source file.
  ///@{
  std::string_view function;
  int messageType;
  std::vector<CContextAttribute> attributes;
  std::string_view file;
  ///@}
};

/// One written trace, as the sinks receive it. A value type that owns all its
/// text; not synchronised.
struct QM_EXPORT CTraceRecord {
  /// The topic, level, message type, function, source file, context attributes, text, and the
  /// thread and time it was written at.
  ///@{
  std::string topic;
  int level = kLevelOff;
  int messageType = kMessageTypeNormal;
  std::string function;
  std::string file;
  std::vector<CContextAttribute> context;
  std::string text;
  std::thread::id thread;
  std::chrono::system_clock::time_point time;
  ///@}
};

/// Receives trace records.
///
/// Callback contract: Write is called on the thread that traces, possibly
/// while that thread holds locks of the library or of the application, and
/// possibly from several threads at once. A sink must therefore be
/// thread-safe, must return quickly (no blocking I/O waits, no waiting for
/// other threads) and must not call into this library: traces it writes are
/// dropped, and AddSink/RemoveSink called from Write refuse (return false).
/// An exception thrown by Write is swallowed.
class QM_EXPORT ITraceSink {
 public:
  virtual ~ITraceSink() = default;
  /// Takes one record; called on the writing thread, under no lock of the trace library.
  ///@{
  virtual void Write(const CTraceRecord& record) = 0;
  ///@}
};

/// Adds a sink; false when it is null or already added. Thread-safe.
QM_EXPORT bool AddSink(std::shared_ptr<ITraceSink> sink);
/// Removes a sink; false when it was not added. Once RemoveSink returns, the
/// sink is not called again: RemoveSink waits until traces that may still use
/// it have finished. Thread-safe.
/// REQUIRES: not called from a sink's Write (it then refuses and returns false).
QM_EXPORT bool RemoveSink(const std::shared_ptr<ITraceSink>& sink);

/// A sink that writes one line per record to stderr (what QM_TRACE installs).
QM_EXPORT std::shared_ptr<ITraceSink> MakeStderrSink();
/// The one-line text form of a record, without line end:
///   2024-05-01T10:11:12.123456Z [thread] QueueManager 81 Function [1=42] text
QM_EXPORT std::string FormatRecord(const CTraceRecord& record);

/// A sink that keeps every record it receives, optionally only those of one
/// topic; for tests. Thread-safe: all members take an internal lock.
class QM_EXPORT CCaptureSink : public ITraceSink {
 public:
  /// An empty `topic` keeps the records of every topic.
  explicit CCaptureSink(std::string topic = {}) : topic_(std::move(topic)) {}

  /// Keeps `record`; the records kept, how many, and forgets them.
  ///@{
  void Write(const CTraceRecord& record) override;

  std::vector<CTraceRecord> Records() const;
  std::size_t Size() const;
  void Clear();
  ///@}
  /// True when the text of some record contains `text`.
  bool Contains(std::string_view text) const;

  /// The first record for which `predicate` is true.
  template <class Predicate>
  std::optional<CTraceRecord> Find(Predicate predicate) const {
    W4Os::MutexLock lock(&mutex_);
    for (const CTraceRecord& record : records_) {
      if (predicate(record)) return record;
    }
    return std::nullopt;
  }
  /// The number of records for which `predicate` is true.
  template <class Predicate>
  std::size_t Count(Predicate predicate) const {
    W4Os::MutexLock lock(&mutex_);
    std::size_t count = 0;
    for (const CTraceRecord& record : records_) count += predicate(record) ? 1 : 0;
    return count;
  }

 private:
  const std::string topic_;
  mutable W4Os::Mutex mutex_;
  std::vector<CTraceRecord> records_ QM_GUARDED_BY(mutex_);
};

namespace detail {
/// Formats and hands the record to the sinks. Never throws: a format error
/// writes the error and the format string instead; an allocation failure drops
/// the trace. Use Write or the macros.
QM_EXPORT void VWrite(const CTopic& topic, int level, const CContext& context,
                      fmt::string_view format, fmt::format_args args) noexcept;
}  // namespace detail

/// Writes a trace when `topic` is enabled for `level`. The arguments are
/// evaluated by the caller in any case; the macros below avoid that.
template <class... Args>
void Write(const CTopic& topic, int level, const CContext& context,
           fmt::format_string<Args...> format, Args&&... args) noexcept {
  if (!topic.IsEnabled(level)) return;
  detail::VWrite(topic, level, context, fmt::string_view(format), fmt::make_format_args(args...));
}

template <class... Args>
void Write(const CTopic& topic, int level, std::string_view function,
           fmt::format_string<Args...> format, Args&&... args) noexcept {
  if (!topic.IsEnabled(level)) return;
  detail::VWrite(topic, level, CContext(function), fmt::string_view(format),
                 fmt::make_format_args(args...));
}

/// Writes an entry record when constructed and an exit record when destroyed,
/// at `level` on `topic`, if the topic was enabled at entry. Costs a relaxed
/// load when disabled. Not thread-safe; lives on one thread's stack.
/// REQUIRES: `function` outlives the object (normally a string literal).
class QM_EXPORT CScopeTrace {
 public:
  /// Traces the entry to `function` at `level` on `topic` (and the exit when destroyed).
  ///@{
  CScopeTrace(const CTopic& topic, std::string_view function, int level = kLevelDetail) noexcept
      : topic_(topic.IsEnabled(level) ? &topic : nullptr), function_(function), level_(level) {
    if (topic_ != nullptr) WriteEntry();
  }
  ///@}
  ~CScopeTrace() {
    if (topic_ != nullptr) WriteExit();
  }
  CScopeTrace(const CScopeTrace&) = delete;
  CScopeTrace& operator=(const CScopeTrace&) = delete;

 private:
  void WriteEntry() const noexcept;
  void WriteExit() const noexcept;

  const CTopic* const topic_;
  const std::string_view function_;
  const int level_;
};

}  // namespace W4Trace

// QM_TRACE(topic, level, function, format, args...): `function`, the format
// and the arguments are evaluated only when `topic` is enabled for `level`.
#define QM_TRACE(topic, level, function, ...)                                  \
  do {                                                                         \
    const ::W4Trace::CTopic& qmTraceTopic_ = (topic);                          \
    const int qmTraceLevel_ = (level);                                         \
    if (qmTraceTopic_.IsEnabled(qmTraceLevel_)) {                              \
      ::W4Trace::Write(qmTraceTopic_, qmTraceLevel_, (function), __VA_ARGS__); \
    }                                                                          \
  } while (false)

// QM_TRACE_CTX(topic, level, context, format, args...): as QM_TRACE with a
// W4Trace::CContext, which is built only when the trace is enabled.
#define QM_TRACE_CTX(topic, level, context, ...) QM_TRACE(topic, level, context, __VA_ARGS__)

#define QM_TRACE_CONCAT_INNER(a, b) a##b
#define QM_TRACE_CONCAT(a, b) QM_TRACE_CONCAT_INNER(a, b)

// QM_TRACE_SCOPE(topic, function): entry and exit records at level 81 for the
// enclosing block.
#define QM_TRACE_SCOPE(topic, function) \
  const ::W4Trace::CScopeTrace QM_TRACE_CONCAT(qmTraceScope_, __LINE__)((topic), (function))
