// TfConfig, the settings dialog: modal, three tabs (status with the live
// readout and the event log, system with the two tray tips, and a setup tab
// that every show removes from the tab row), "Done" and "Cancel".
//
// It owns the program's event log (at most 300 lines, oldest first), which
// the main window writes while the dialog is closed as well. Every way of
// closing it (Done, Cancel, the close box, a session lock) stops the main
// window's readout timer.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>
#include <string>

class ConfigForm;
class SensorReadout;
class TFormMain;

class TfConfig : public QDialog {
    Q_OBJECT
public:
    static constexpr int kEventLogLines = 300;

    TfConfig(TFormMain& mainWindow, const std::string& captionFilePath);
    ~TfConfig() override;

    ConfigForm& form() const { return *form_; }

    // Appends one line; at 300 lines the oldest goes first.
    void AddEvent(const QString& line);
    int EventCount() const;

    // One readout tick onto the status tab.
    void ShowReadout(const SensorReadout& readout, const std::string& decimalSeparator);

    // The values are loaded before the dialog becomes visible.
    void setVisible(bool visible) override;
    // Every close ends here: the readout stops.
    void done(int result) override;

private:
    void LoadTexts(const std::string& captionFilePath);
    void LoadValues();
    void bDoneClick();
    void bCancelClick();

    TFormMain& main_;
    std::unique_ptr<ConfigForm> form_;
    bool firstShow_ = true;
};
