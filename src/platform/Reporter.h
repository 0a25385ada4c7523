#pragma once

#include <QString>

#include <cstddef>
#include <string>

namespace strataloom {

// Where an operation reports: a sheet on the main window, or stderr for the
// command-line companion. Operations report each failure with one fixed detail,
// and with its cause where one is known.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void showError(const QString& detail) = 0;
    // `cause` is one complete message naming what failed and why (its paths
    // as bytes). The window shows the fixed detail alone; the command line
    // also prints the cause.
    virtual void showErrorWithCause(const QString& detail, const std::string& cause)
    {
        (void)cause;
        showError(detail);
    }
    // Called before each entry is written; `name` is the entry's bytes.
    virtual void progress(std::size_t done, std::size_t total, const std::string& name)
    {
        (void)done;
        (void)total;
        (void)name;
    }
    // Checked between entries; true stops the operation as a failure would,
    // leaving what was written.
    virtual bool shouldStop() const { return false; }
};

// The save dialog's confirming response.
inline constexpr int kResponseOK = 1;
inline constexpr int kResponseCancel = 0;

} // namespace strataloom
