#include "PreferencesDialog.h"

#include "DisplayFormat.h"
#include "Settings.h"
#include "WatchSettings.h"
#include "ui_PreferencesDialog.h"

#include <QPushButton>

#include <cmath>

namespace strataloom {

namespace {

constexpr double kHour = 3600;
constexpr double kDay = 24 * kHour;
constexpr double kMB = 1000 * 1000;
constexpr double kGB = 1000 * kMB;

QString shown(const std::string& pattern)
{
    return QString::fromUtf8(pattern.data(), qsizetype(pattern.size()));
}

QString explained(const settings::Key& key, const QString& byDefault)
{
    return QString::fromLatin1(key.explanation.data(), qsizetype(key.explanation.size()))
         + QStringLiteral(" Default: %1.").arg(byDefault);
}

} // namespace

PreferencesDialog::PreferencesDialog(QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::PreferencesDialog>())
{
    m_ui->setupUi(this);
    m_ui->maxSizeSpin->setSpecialValueText(QStringLiteral("a tenth of the disk"));
    m_ui->quietSpin->setMaximum(24 * 3600);
    m_ui->updateIntervalSpin->setMinimum(1.0 / 60);
    for (const NumberField& field : numberFields()) {
        const double byDefault = field.key->defaultValue / field.unit;
        field.box->setToolTip(QStringLiteral("Default: %1").arg(field.box->textFromValue(byDefault)));
        QLabel* help =
            findChild<QLabel*>(field.box->objectName().replace(QStringLiteral("Spin"), QStringLiteral("Help")));
        help->setText(explained(*field.key, byDefault == 0
                                                ? field.box->specialValueText()
                                                : field.box->textFromValue(byDefault) + field.box->suffix()));
    }
    m_ui->patternsHelp->setText(
        explained(settings::kWatchExcludedPatterns, QStringLiteral("none beyond the built-in ones"))
        + QStringLiteral(" One pattern a line."));
    m_ui->updateCheckHelp->setText(explained(settings::kNoUpdateCheck, QStringLiteral("on")));
    connect(m_ui->buttonBox->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &PreferencesDialog::apply);
    connect(m_ui->buttonBox->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            &PreferencesDialog::restoreDefaults);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &PreferencesDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &PreferencesDialog::reject);
    connect(m_ui->updateCheckBox, &QCheckBox::toggled, m_ui->updateIntervalSpin, &QWidget::setEnabled);
    load();
}

PreferencesDialog::~PreferencesDialog() = default;

std::vector<PreferencesDialog::NumberField> PreferencesDialog::numberFields() const
{
    return {
        {m_ui->keepAllSpin, &settings::kRetentionKeepAll, kHour},
        {m_ui->hourlySpin, &settings::kRetentionHourly, kDay},
        {m_ui->dailySpin, &settings::kRetentionDaily, kDay},
        {m_ui->maxSizeSpin, &settings::kRetentionMaxBytes, kGB},
        {m_ui->sizeLimitSpin, &settings::kWatchSizeLimit, kMB},
        {m_ui->quietSpin, &settings::kWatchQuietSeconds, 1},
        {m_ui->updateIntervalSpin, &settings::kUpdateCheckInterval, kHour},
    };
}

void PreferencesDialog::load()
{
    const Settings stored;
    const WatchSettings watch;
    for (const NumberField& field : numberFields()) {
        double value = 0;
        if (field.key == &settings::kWatchSizeLimit)
            value = double(watch.sizeLimit());
        else if (field.key == &settings::kWatchQuietSeconds)
            value = double(watch.quietPeriod().count()) / 1000;
        else
            value = stored.doubleForKey(field.key->qtName());
        // What the readers take for an absent or unusable value.
        if (!(value > 0) || !std::isfinite(value))
            value = field.key->defaultValue;
        field.box->setValue(value / field.unit);
    }
    m_patterns = watch.excludedPatterns();
    QStringList lines;
    for (const std::string& pattern : m_patterns)
        lines.append(shown(pattern));
    m_ui->patternsEdit->setPlainText(lines.join(QLatin1Char('\n')));
    m_ui->updateCheckBox->setChecked(!stored.boolForKey(settings::kNoUpdateCheck.qtName()));
    m_ui->updateIntervalSpin->setEnabled(m_ui->updateCheckBox->isChecked());
    showProblem({});
}

void PreferencesDialog::restoreDefaults()
{
    for (const NumberField& field : numberFields())
        field.box->setValue(field.key->defaultValue / field.unit);
    m_ui->patternsEdit->clear();
    m_ui->updateCheckBox->setChecked(settings::kNoUpdateCheck.defaultValue == 0);
}

bool PreferencesDialog::apply()
{
    Settings stored;
    WatchSettings watch;
    for (const NumberField& field : numberFields()) {
        const double value = std::round(field.box->value() * field.unit);
        if (field.key == &settings::kWatchSizeLimit)
            watch.setSizeLimit(std::uint64_t(value));
        else if (field.key == &settings::kWatchQuietSeconds)
            watch.setQuietPeriod(std::chrono::milliseconds(std::llround(field.box->value() * 1000)));
        // A default is left to its reader, so that a later release's default reaches it.
        else if (value == std::round(field.key->defaultValue))
            stored.remove(field.key->qtName());
        else
            stored.setDouble(value, field.key->qtName());
    }
    std::vector<std::string> patterns;
    for (const QString& line : m_ui->patternsEdit->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        std::string pattern = line.toStdString();
        for (const std::string& kept : m_patterns)
            if (shown(kept) == line)
                pattern = kept;
        patterns.push_back(std::move(pattern));
    }
    watch.setExcludedPatterns(patterns);
    stored.setBool(!m_ui->updateCheckBox->isChecked(), settings::kNoUpdateCheck.qtName());
    std::string error;
    if (!watch.save(&error)) {
        showProblem(QString::fromStdString(error));
        return false;
    }
    m_patterns = std::move(patterns);
    showProblem({});
    return true;
}

void PreferencesDialog::accept()
{
    if (apply())
        QDialog::accept();
}

void PreferencesDialog::showProblem(const QString& problem)
{
    m_ui->problemLabel->setText(problem);
    m_ui->problemLabel->setVisible(!problem.isEmpty());
}

} // namespace strataloom
