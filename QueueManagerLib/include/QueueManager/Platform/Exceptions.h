#pragma once

// Exceptions that the notifier library throws.

#include <stdexcept>
#include <string>

#include "QueueManager/Export.h"

namespace W4Notifier {

/// Root of the exception family that platform libraries throw.
class QM_EXPORT CException : public std::runtime_error {
 public:
  /// An error with its reason.
  ///@{
  explicit CException(const std::string& what) : std::runtime_error(what) {}
  ///@}
};

/// A notifier operation failed.
class QM_EXPORT CNotifierException : public CException {
 public:
  /// An error with its reason.
  ///@{
  explicit CNotifierException(const std::string& what) : CException(what) {}
  ///@}
};

/// A field could not be read from a message: it is of another type, the data
/// end before it, or its bytes are malformed. The message's read position is
/// left where it was before the failed read.
class QM_EXPORT CNotifierExtractException : public CNotifierException {
 public:
  /// An error with its reason.
  ///@{
  explicit CNotifierExtractException(const std::string& what) : CNotifierException(what) {}
  ///@}
};

}  // namespace W4Notifier
