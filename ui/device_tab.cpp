#include "ui/device_tab.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <initializer_list>

#include "ui/bootloader_box.h"
#include "ui/module_socket.h"

namespace velkorn::ui {

namespace {

constexpr int kValueLabelWidth = 32;
constexpr const char* kBaudRates[kBaudRateCount] = {"300",  "600",   "1200",  "2400",  "4800",
                                                    "9600", "19200", "38400", "57600", "115200"};

QLabel* valueLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setFixedWidth(kValueLabelWidth);
  label->setAlignment(Qt::AlignCenter);
  label->setAutoFillBackground(true);
  QPalette pal = label->palette();
  pal.setColor(QPalette::Window, Qt::black);
  pal.setColor(QPalette::WindowText, Qt::yellow);
  label->setPalette(pal);
  return label;
}

QLabel* captionLabel(const char* name, const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

// One row of a box of values: caption, value and, for the identification, the value a
// known part reports.
struct ValueRow {
  const char *name, *caption, *valueName;
  QLabel** value;
  const char *referenceName = nullptr, *reference = nullptr;
};

QGroupBox* valueBox(const char* name, const char* title, QWidget* sheet, std::initializer_list<ValueRow> rows) {
  auto* box = new QGroupBox(QString::fromLatin1(title), sheet);
  box->setObjectName(QString::fromLatin1(name));
  auto* grid = new QGridLayout(box);
  int row = 0;
  for (const ValueRow& r : rows) {
    *r.value = valueLabel(r.valueName, box);
    grid->addWidget(captionLabel(r.name, r.caption, box), row, 0);
    grid->addWidget(*r.value, row, 1);
    if (r.reference) grid->addWidget(captionLabel(r.referenceName, r.reference, box), row, 2);
    ++row;
  }
  return box;
}

}  // namespace

void DeviceTab::buildDeviceTab(QWidget* sheet) {
  auto* grid = new QGridLayout(sheet);
  grid->addWidget(buildIdentification(sheet), 0, 0);
  grid->addWidget(buildBoot(sheet), 1, 0);
  grid->addWidget(buildSecurity(sheet), 0, 1);
  grid->addWidget(buildModule(sheet), 1, 1);
  grid->addWidget(buildRates(sheet), 0, 2, 2, 1);
  // Beside the terminal's rates, where a user looks for how the line is driven.
  bootloaderBox = new BootloaderBox(sheet);
  grid->addWidget(bootloaderBox, 2, 0, 1, 3);
  grid->setColumnStretch(3, 1);
  grid->setRowStretch(3, 1);
}

QGroupBox* DeviceTab::buildIdentification(QWidget* sheet) {
  GroupBox1 = valueBox("GroupBox1", "&Identification", sheet,
                       {{"Label9", "Manufactor Id", "lManu", &lManu, "Label20", "(58)"},
                        {"Label10", "Device family ", "lDevFam", &lDevFam, "Label21", "(D7)"},
                        {"Label12", "Mem size/type", "lMem", &lMem, "Label22", "(FC)"},
                        {"Label14", "Product Id", "lProduct", &lProduct, "Label23", "(FF)"}});
  return GroupBox1;
}

QGroupBox* DeviceTab::buildBoot(QWidget* sheet) {
  return valueBox("GroupBox3", "&Boot", sheet,
                  {{"Label24", "Status(BSB)", "lBSB", &lBSB},
                   {"Label25", "Vector(SBV)", "lSBV", &lSBV},
                   {"Label26", "Bootloader version", "lBVersion", &lBVersion},
                   {"Label27", "HW security (HSB)", "lHSB", &lHSB}});
}

QGroupBox* DeviceTab::buildSecurity(QWidget* sheet) {
  auto* box = new QGroupBox(QStringLiteral("&Software security"), sheet);
  box->setObjectName(QStringLiteral("GroupBox2"));
  auto* security = new QVBoxLayout(box);
  cblock1 = new QCheckBox(QStringLiteral("Lock Erase, Prog., Read, Blank Check"), box);
  cblock1->setObjectName(QStringLiteral("cblock1"));
  cbLock0 = new QCheckBox(QStringLiteral("Lock Erase, Prog."), box);
  cbLock0->setObjectName(QStringLiteral("cbLock0"));
  cbBLJB = new QCheckBox(QStringLiteral("BLJB"), box);
  cbBLJB->setObjectName(QStringLiteral("cbBLJB"));
  cbBLJB->setChecked(true);
  for (QCheckBox* lock : {cblock1, cbLock0, cbBLJB}) security->addWidget(lock);
  return box;
}

QGroupBox* DeviceTab::buildRates(QWidget* sheet) {
  rgBaudBox = new QGroupBox(QStringLiteral("&Baudrate"), sheet);
  rgBaudBox->setObjectName(QStringLiteral("rgBaud"));
  auto* rates = new QGridLayout(rgBaudBox);
  rgBaud = new QButtonGroup(rgBaudBox);
  constexpr int kRows = 5;  // two columns of five
  for (int i = 0; i < kBaudRateCount; ++i) {
    auto* button = new QRadioButton(QString::fromLatin1(kBaudRates[i]), rgBaudBox);
    button->setObjectName(QStringLiteral("rgBaud%1").arg(i));
    rgBaud->addButton(button, i);
    rates->addWidget(button, i % kRows, i / kRows);
  }
  rgBaud->button(kDefaultBaudIndex)->setChecked(true);
  return rgBaudBox;
}

QGroupBox* DeviceTab::buildModule(QWidget* sheet) {
  auto* box = new QGroupBox(QStringLiteral("&IP address of module"), sheet);
  box->setObjectName(QStringLiteral("GroupBox4"));
  auto* module = new QVBoxLayout(box);
  eIP = new QLineEdit(QString::fromLatin1(kDefaultModuleHost), box);
  eIP->setObjectName(QStringLiteral("eIP"));
  BitBtn1 = new QPushButton(sheet->style()->standardIcon(QStyle::SP_BrowserReload), QStringLiteral("Sync"), box);
  BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn2 = new QPushButton(sheet->style()->standardIcon(QStyle::SP_FileDialogDetailedView),
                            QStringLiteral("Terminal Font"), box);
  BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
  module->addWidget(eIP);
  module->addWidget(BitBtn1);
  module->addWidget(BitBtn2);
  return box;
}

QLabel* DeviceTab::label(isp::DeviceField field) const {
  switch (field) {
    case isp::DeviceField::Manu: return lManu;
    case isp::DeviceField::DevFam: return lDevFam;
    case isp::DeviceField::Mem: return lMem;
    case isp::DeviceField::Product: return lProduct;
    case isp::DeviceField::BSB: return lBSB;
    case isp::DeviceField::SBV: return lSBV;
    case isp::DeviceField::HSB: return lHSB;
    case isp::DeviceField::BVersion: return lBVersion;
  }
  return nullptr;
}

}  // namespace velkorn::ui
