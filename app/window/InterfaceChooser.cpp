// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/InterfaceChooser.h"

#include <net/if.h>

#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace wq {

namespace {

// The interface of the IPv4 default route, from the kernel's routing table; empty when there is
// none.
QString defaultRouteInterface() {
  QFile routes("/proc/net/route");
  if (!routes.open(QIODevice::ReadOnly)) {
    return {};
  }
  routes.readLine();  // the column titles
  while (!routes.atEnd()) {
    const QStringList fields = QString::fromLatin1(routes.readLine()).split('\t');
    if (fields.size() > 1 && fields[1] == "00000000") {
      return fields[0];
    }
  }
  return {};
}

}  // namespace

QStringList machineInterfaces() {
  QStringList names;
  if (struct if_nameindex* interfaces = if_nameindex()) {
    for (struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
      names << QString::fromLocal8Bit(entry->if_name);
    }
    if_freenameindex(interfaces);
  }
  if (names.removeAll("lo") > 0) {
    names.append("lo");
  }
  const QString preferred = defaultRouteInterface();
  if (names.removeAll(preferred) > 0) {
    names.prepend(preferred);
  }
  return names;
}

InterfaceChooser::InterfaceChooser(const QString& missing, const QStringList& interfaces,
                                   QWidget* parent)
    : QDialog(parent), list_(new QListWidget(this)) {
  setWindowTitle("Choose an Interface");
  auto* text = new QLabel(QString("This machine has no network interface named \"%1\". Choose "
                                  "the interface to capture on; it is stored for later runs.")
                              .arg(missing),
                          this);
  text->setWordWrap(true);
  list_->addItems(interfaces);
  list_->setCurrentRow(0);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText("Capture");
  buttons->button(QDialogButtonBox::Ok)->setEnabled(!interfaces.isEmpty());
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(list_);
  layout->addWidget(buttons);
}

QString InterfaceChooser::choice() const {
  const QListWidgetItem* item = list_->currentItem();
  return item != nullptr ? item->text() : QString();
}

}  // namespace wq
