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

}  // namespace

void DeviceTab::buildDeviceTab(QWidget* sheet) {
  auto* grid = new QGridLayout(sheet);
  grid->addWidget(buildIdentification(sheet), 0, 0);
  grid->addWidget(buildBoot(sheet), 1, 0);
  grid->addWidget(buildSecurity(sheet), 0, 1);
  grid->addWidget(buildModule(sheet), 1, 1);
  grid->addWidget(buildRates(sheet), 0, 2, 2, 1);
  grid->setColumnStretch(3, 1);
  grid->setRowStretch(2, 1);
}

QGroupBox* DeviceTab::buildIdentification(QWidget* sheet) {
  GroupBox1 = new QGroupBox(QStringLiteral("&Identification"), sheet);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  auto* ident = new QGridLayout(GroupBox1);
  lManu = valueLabel("lManu", GroupBox1);
  lDevFam = valueLabel("lDevFam", GroupBox1);
  lMem = valueLabel("lMem", GroupBox1);
  lProduct = valueLabel("lProduct", GroupBox1);
  const struct {
    const char *name, *caption;
    QLabel* value;
    const char *refName, *reference;
  } identRows[] = {
      {"Label9", "Manufactor Id", lManu, "Label20", "(58)"},
      {"Label10", "Device family ", lDevFam, "Label21", "(D7)"},
      {"Label12", "Mem size/type", lMem, "Label22", "(FC)"},
      {"Label14", "Product Id", lProduct, "Label23", "(FF)"},
  };
  int row = 0;
  for (const auto& r : identRows) {
    ident->addWidget(captionLabel(r.name, r.caption, GroupBox1), row, 0);
    ident->addWidget(r.value, row, 1);
    ident->addWidget(captionLabel(r.refName, r.reference, GroupBox1), row, 2);
    ++row;
  }
  return GroupBox1;
}

QGroupBox* DeviceTab::buildBoot(QWidget* sheet) {
  auto* box = new QGroupBox(QStringLiteral("&Boot"), sheet);
  box->setObjectName(QStringLiteral("box"));
  auto* boot = new QGridLayout(box);
  lBSB = valueLabel("lBSB", box);
  lSBV = valueLabel("lSBV", box);
  lBVersion = valueLabel("lBVersion", box);
  lHSB = valueLabel("lHSB", box);
  const struct {
    const char *name, *caption;
    QLabel* value;
  } bootRows[] = {
      {"Label24", "Status(BSB)", lBSB},
      {"Label25", "Vector(SBV)", lSBV},
      {"Label26", "Bootloader version", lBVersion},
      {"Label27", "HW security (HSB)", lHSB},
  };
  int row = 0;
  for (const auto& r : bootRows) {
    boot->addWidget(captionLabel(r.name, r.caption, box), row, 0);
    boot->addWidget(r.value, row, 1);
    ++row;
  }
  return box;
}

QGroupBox* DeviceTab::buildSecurity(QWidget* sheet) {
  auto* box = new QGroupBox(QStringLiteral("&Software security"), sheet);
  box->setObjectName(QStringLiteral("box"));
  auto* security = new QVBoxLayout(box);
  cblock1 = new QCheckBox(QStringLiteral("Lock Erase, Prog., Read, Blank Check"), box);
  cblock1->setObjectName(QStringLiteral("cblock1"));
  cbLock0 = new QCheckBox(QStringLiteral("Lock Erase, Prog."), box);
  cbLock0->setObjectName(QStringLiteral("cbLock0"));
  cbBLJB = new QCheckBox(QStringLiteral("BLJB"), box);
  cbBLJB->setObjectName(QStringLiteral("cbBLJB"));
  cbBLJB->setChecked(true);
  for (QCheckBox* box : {cblock1, cbLock0, cbBLJB}) security->addWidget(box);
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
  box->setObjectName(QStringLiteral("box"));
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
