#pragma once
// The camera selection step of the dialog: a modal list of the sources the
// system finds now, preset to the Camera ID box's index.
#include <string>
#include <vector>
#include <QDialog>
#include "camera.h"

class QListWidget;

class CCameraChooserDlg : public QDialog {
public:
    // The row `presetIndex` starts selected when the list has it, else row 0.
    CCameraChooserDlg(const std::vector<CameraSource>& sources, int presetIndex, QWidget* parent);
    // The name of the selected source; empty when there is none.
    std::string chosenSpec() const;

private:
    void fitListToSources();

    std::vector<CameraSource> sources_;
    QListWidget* list_ = nullptr;
};

// Shows the chooser modally. The chosen source's name, or an empty string
// when the operator cancelled or no source exists.
std::string chooseCameraSource(QWidget* parent, int presetIndex);
