#pragma once

#include "platform/Reporter.h"

#include <string>

namespace strataloom::cli {

// Prints every detail an operation reports as "strataloom-cli: <detail>".
class CliReporter : public Reporter {
public:
    void showError(const QString& detail) override;
    bool reported() const { return m_reported; }

private:
    bool m_reported = false;
};

// Prints "strataloom-cli: <message>" on stderr.
void printError(const std::string& message);

} // namespace strataloom::cli
