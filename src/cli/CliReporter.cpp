#include "CliReporter.h"

#include <cstdio>

namespace strataloom::cli {

void printError(const std::string& message)
{
    std::fprintf(stderr, "strataloom-cli: %s\n", message.c_str());
}

void CliReporter::showError(const QString& detail)
{
    m_reported = true;
    printError(detail.toStdString());
}

} // namespace strataloom::cli
