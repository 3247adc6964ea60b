#include "option_rows.h"
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include "output_target.h"
#include "web_output.h"

namespace {

QHBoxLayout* rowLayout(QWidget* row) {
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

template <typename Widget>
Widget* named(Widget* widget, const char* name, const char* toolTip) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setToolTip(QString::fromUtf8(toolTip));
    return widget;
}

} // namespace

// ---- The detector's opt-ins, read at Start and at Pattern Capture.

DetectorOptionRow::DetectorOptionRow(int spacing) : OptionRow(true) {
    cornerRefine_ = named(new QCheckBox(QStringLiteral("Sub-pixel corners")), "CornerRefine",
                          "Find each marker's corners to a fraction of a pixel from the grey levels across its "
                          "sides, for steadier poses ([CornerRefine]).");
    threshold_ = named(new QSpinBox, "threshold", "A pixel is dark when its grey level is at most this");
    threshold_->setRange(kThresholdMin, kThresholdMax);
    autoThreshold_ = named(new QCheckBox(QStringLiteral("Automatic")), "autoThreshold",
                           "A threshold that follows the local light");
    connect(autoThreshold_, &QCheckBox::toggled, this, [this] { greyImplied(); });
    QHBoxLayout* layout = rowLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Threshold:")));
    layout->addWidget(threshold_);
    layout->addWidget(autoThreshold_);
    layout->addSpacing(spacing);
    layout->addWidget(cornerRefine_);
    realCamera_ = named(new QCheckBox(QStringLiteral("Real camera")), "RealCamera",
                        "For a real camera in real light: the automatic threshold, sub-pixel corners and "
                        "verification of each marker together ([RealCamera]).");
    layout->addSpacing(spacing);
    layout->addWidget(realCamera_);
    layout->addStretch(1);
    connect(realCamera_, &QCheckBox::toggled, this, [this] { greyImplied(); });
}

// "Real camera" sets the threshold and the sub-pixel corners itself, so
// their boxes say nothing while it is ticked; their values are kept for
// when it is not.
void DetectorOptionRow::greyImplied() {
    const bool own = rowEnabled_ && !realCamera_->isChecked();
    cornerRefine_->setEnabled(own);
    autoThreshold_->setEnabled(own);
    threshold_->setEnabled(own && !autoThreshold_->isChecked());
    realCamera_->setEnabled(rowEnabled_);
}

void DetectorOptionRow::exchange(Settings& settings, bool fromControls) {
    if (fromControls) {
        settings.cornerRefine = cornerRefine_->isChecked() ? 1 : 0;
        settings.threshold = threshold_->value();
        settings.autoThreshold = autoThreshold_->isChecked() ? 1 : 0;
        settings.realCamera = realCamera_->isChecked() ? 1 : 0;
        return;
    }
    cornerRefine_->setChecked(settings.cornerRefine != 0);
    threshold_->setValue(settings.threshold);
    autoThreshold_->setChecked(settings.autoThreshold != 0);
    realCamera_->setChecked(settings.realCamera != 0);
    greyImplied();
}

void DetectorOptionRow::enableRow(bool enabled) {
    rowEnabled_ = enabled;
    greyImplied();
}

// ---- The TUIO and MQTT outputs, read at Start.

OutputTargetRow::OutputTargetRow() : OptionRow(false) {
    tuio_ = named(new QLineEdit, "1071", "Send TUIO 1.1 (/tuio/2Dobj and /tuio/3Dobj) over UDP; port 3333 by default.");
    tuio_->setPlaceholderText(QStringLiteral("HOST[:PORT]  (off when empty)"));
    mqtt_ = named(new QLineEdit, "1072",
                  "Publish PREFIX/report and PREFIX/markers/NAME to an MQTT broker; port 1883 and prefix "
                  "quillmark by default.");
    mqtt_->setPlaceholderText(QStringLiteral("HOST[:PORT][/PREFIX]  (off when empty)"));
    QHBoxLayout* layout = rowLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("TUIO:")));
    layout->addWidget(tuio_, 1);
    layout->addWidget(new QLabel(QStringLiteral("MQTT:")));
    layout->addWidget(mqtt_, 2);
}

void OutputTargetRow::exchange(Settings&, bool fromControls) {
    if (fromControls) {
        tuioText_ = tuio_->text().trimmed();
        mqttText_ = mqtt_->text().trimmed();
        return;
    }
    tuio_->setText(tuioText_);
    mqtt_->setText(mqttText_);
}

void OutputTargetRow::load(const Settings& settings) {
    tuioText_ = QString::fromStdString(tuioTargetText(tuioTargetOf(settings)));
    mqttText_ = QString::fromStdString(mqttTargetText(mqttTargetOf(settings)));
    tuio_->setText(tuioText_);
    mqtt_->setText(mqttText_);
}

bool OutputTargetRow::apply(Settings& settings, std::string& error) {
    OutputTarget tuio, mqtt;
    if (!parseTuioTargetText(tuioText_.toStdString(), "TUIO", tuio, error) ||
        !parseMqttTargetText(mqttText_.toStdString(), "MQTT", mqtt, error))
        return false;
    setOutputTargets(settings, tuio, mqtt);
    return true;
}

// ---- The operator page, read at Start.

WebPageRow::WebPageRow() : OptionRow(false) {
    address_ = named(new QLineEdit, "1073",
                     "Where the read-only operator page and its WebSocket feed listen; host 127.0.0.1 unless "
                     "one is given ([HttpHost], [HttpPort]).");
    address_->setPlaceholderText(QStringLiteral("[HOST:]PORT"));
    serve_ = named(new QCheckBox(QStringLiteral("Serve the page")), "1074",
                   "Serve the operator page while the server runs");
    QHBoxLayout* layout = rowLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Page:")));
    layout->addWidget(address_, 1);
    layout->addWidget(serve_);
}

void WebPageRow::exchange(Settings&, bool fromControls) {
    if (fromControls) {
        text_ = address_->text().trimmed();
        on_ = serve_->isChecked();
        return;
    }
    address_->setText(text_);
    serve_->setChecked(on_);
}

void WebPageRow::load(const Settings& settings) {
    on_ = settings.httpPort > 0;
    text_ = on_ ? QString::fromStdString(settings.httpHost + ":" + std::to_string(settings.httpPort)) : QString();
    address_->setText(text_);
    serve_->setChecked(on_);
}

bool WebPageRow::apply(Settings& settings, std::string& error) {
    const Settings defaults;
    if (!on_) {
        settings.httpHost = defaults.httpHost;
        settings.httpPort = defaults.httpPort;
        return true;
    }
    WebOptions page;
    if (!parseWebAddress(text_.toStdString(), "Page", page, error)) return false;
    if (page.port == 0) {
        error = "Page: the port must be from 1 to 65535";
        return false;
    }
    settings.httpHost = page.host;
    settings.httpPort = page.port;
    return true;
}
