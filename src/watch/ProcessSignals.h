#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP as Qt signals, through a pipe the handler writes
// to, so that they are handled in the event loop between two pieces of work.
namespace strataloom::watch {

class ProcessSignals : public QObject {
    Q_OBJECT

public:
    explicit ProcessSignals(QObject* parent = nullptr);
    ~ProcessSignals() override;
    // Installs the handlers; false, with the reason, when it cannot.
    bool install(std::string* error = nullptr);

signals:
    void stopRequested(); // SIGTERM or SIGINT
    void reloadRequested(); // SIGHUP

private:
    void readSignals();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace strataloom::watch
