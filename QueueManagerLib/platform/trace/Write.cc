// Building trace records and handing them to the sinks.

#include <exception>
#include <thread>

#include "QueueManager/Platform/Simulation.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/trace/TraceState.h"

namespace W4Trace {
namespace {

// The formatted text; a format error gives a text that names the error and
// the format string, so that a faulty trace statement is visible, not fatal.
std::string FormatText(fmt::string_view format, fmt::format_args args) {
  try {
    return fmt::vformat(format, args);
  } catch (const std::exception& error) {
    return fmt::format("<trace format error: {}> {}", error.what(), format);
  }
}

void Dispatch(const CTopic& topic, int level, const CContext& context, std::string text) {
  CTraceRecord record;
  record.topic = topic.Name();
  record.level = level;
  record.messageType = context.messageType;
  record.function = context.function;
  record.file = context.file;
  record.context = context.attributes;
  record.text = std::move(text);
  record.thread = std::this_thread::get_id();
  record.time = W4Os::SystemNow();
  CTraceState::Instance().Sinks().Dispatch(record);
}

}  // namespace

namespace detail {

void VWrite(const CTopic& topic, int level, const CContext& context, fmt::string_view format,
            fmt::format_args args) noexcept {
  CSinkList& sinks = CTraceState::Instance().Sinks();
  if (sinks.Empty() || CSinkList::InDispatch()) return;
  try {
    Dispatch(topic, level, context, FormatText(format, args));
  } catch (...) {
    // Out of memory while building the record: the trace is lost, the
    // traced code goes on.
  }
}

}  // namespace detail

void CScopeTrace::WriteEntry() const noexcept { Write(*topic_, level_, function_, "Enter"); }

void CScopeTrace::WriteExit() const noexcept { Write(*topic_, level_, function_, "Exit"); }

}  // namespace W4Trace
