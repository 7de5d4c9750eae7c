#pragma once
// The "Device" tab's widgets: the identification and boot values the bootloader reports,
// the software security boxes, the Baudrate group and the module's host field with the
// Sync and Terminal Font buttons. The window connects them and reaches them by name.
#include "isp/person.h"
#include "file/settings_file.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace velkorn::ui {

class BootloaderBox;

// The Baudrate group's entries, 300 to 115200 bit/s.
inline constexpr int kBaudRateCount = 10;
inline constexpr int kDefaultBaudIndex = file::kLastBaudIndex;  // "115200", selected in the layout

class DeviceTab {
 public:
  // Lays the widgets out on `sheet`, which owns them.
  void buildDeviceTab(QWidget* sheet);

  // The value label that shows `field`.
  QLabel* label(isp::DeviceField field) const;

  QGroupBox* GroupBox1 = nullptr;
  QLabel* lManu = nullptr;
  QLabel* lDevFam = nullptr;
  QLabel* lMem = nullptr;
  QLabel* lProduct = nullptr;
  QLabel* lBSB = nullptr;
  QLabel* lSBV = nullptr;
  QLabel* lBVersion = nullptr;
  QLabel* lHSB = nullptr;
  QCheckBox* cblock1 = nullptr;
  QCheckBox* cbLock0 = nullptr;
  QCheckBox* cbBLJB = nullptr;
  QGroupBox* rgBaudBox = nullptr;
  QButtonGroup* rgBaud = nullptr;
  QLineEdit* eIP = nullptr;
  QPushButton* BitBtn1 = nullptr;  // "Sync"
  QPushButton* BitBtn2 = nullptr;  // "Terminal Font"
  BootloaderBox* bootloaderBox = nullptr;  // the bootloader's rate, reset and read-back

 private:
  QGroupBox* buildIdentification(QWidget* sheet);
  QGroupBox* buildBoot(QWidget* sheet);
  QGroupBox* buildSecurity(QWidget* sheet);
  QGroupBox* buildRates(QWidget* sheet);
  QGroupBox* buildModule(QWidget* sheet);
};

}  // namespace velkorn::ui
