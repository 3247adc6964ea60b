#pragma once
// The rows of options below the dialog's specified controls, one small
// widget each. A row keeps its controls to itself: the dialog moves values
// through the calls below and greys the row while a worker that reads it
// runs.
//
// To add a row: derive from OptionRow, create the controls in the
// constructor (give each an object name, for the tests and tools), move the
// values in exchange(), and add the row in CQuillmarkDlg::createOptionRows().
// Its config keys go after the specified ones (config.cpp).
#include <string>
#include <QWidget>
#include "config.h"

class QCheckBox;
class QHBoxLayout;
class QLineEdit;
class QSpinBox;

class OptionRow : public QWidget {
public:
    // `readByCapture`: Pattern Capture reads the row too, so it is greyed
    // while either worker runs, not only while the server does.
    explicit OptionRow(bool readByCapture) : readByCapture_(readByCapture) {}

    // Settings into the controls, or (fromControls) the controls into the
    // settings, as the dialog's own data exchange does.
    virtual void exchange(Settings& settings, bool fromControls) = 0;
    // Values that need more than the controls: shown once after the file is
    // read, and taken into `settings` at Start and at close. False, with the
    // reason in `error`, when they cannot be used; `settings` is then untouched.
    virtual void load(const Settings&) {}
    virtual bool apply(Settings&, std::string&) { return true; }
    // Greyed or not; the row may keep some controls greyed by its own rules.
    virtual void enableRow(bool enabled) { setEnabled(enabled); }

    bool readByCapture() const { return readByCapture_; }

private:
    bool readByCapture_;
};

// The detector's opt-ins: the threshold box with its "Automatic" check box,
// and "Sub-pixel corners".
class DetectorOptionRow : public OptionRow {
public:
    explicit DetectorOptionRow(int spacing);
    void exchange(Settings& settings, bool fromControls) override;
    void enableRow(bool enabled) override;

private:
    void greyImplied();

    bool rowEnabled_ = true;
    QCheckBox* cornerRefine_ = nullptr;
    QSpinBox* threshold_ = nullptr;
    QCheckBox* autoThreshold_ = nullptr;
    QCheckBox* realCamera_ = nullptr;
};

// The TUIO and MQTT outputs: two edits whose texts are kept as typed and
// read only when they are used: at Start (a text that cannot be read is
// refused with a message naming the output) and at close (one that cannot
// be read keeps the stored target). Host names are not looked up here: the
// GUI thread never waits on a lookup; the worker checks them at set-up.
class OutputTargetRow : public OptionRow {
public:
    OutputTargetRow();
    void exchange(Settings& settings, bool fromControls) override;
    void load(const Settings& settings) override;
    bool apply(Settings& settings, std::string& error) override;

private:
    QString tuioText_, mqttText_;
    QLineEdit* tuio_ = nullptr;
    QLineEdit* mqtt_ = nullptr;
};

// The operator page: "[HOST:]PORT" and a check box that serves it while the
// server runs. The text is kept as typed and read at Start and at close,
// like the output targets'.
class WebPageRow : public OptionRow {
public:
    WebPageRow();
    void exchange(Settings& settings, bool fromControls) override;
    void load(const Settings& settings) override;
    bool apply(Settings& settings, std::string& error) override;

private:
    QString text_;
    bool on_ = false;
    QLineEdit* address_ = nullptr;
    QCheckBox* serve_ = nullptr;
};
