// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The machine's network interfaces, and the dialog that asks for one when the interface to
// capture on does not exist (on a first start the stored default, "en1", rarely does on Linux).

#include <QDialog>
#include <QStringList>

class QListWidget;

namespace wq {

// The machine's network interfaces, the default route's first, then the others in the kernel's
// order, loopback last.
QStringList machineInterfaces();

class InterfaceChooser : public QDialog {
  Q_OBJECT

 public:
  // Asks for an interface in place of `missing`, with the machine's interfaces to choose from.
  InterfaceChooser(const QString& missing, const QStringList& interfaces,
                   QWidget* parent = nullptr);
  // The interface selected in the list.
  QString choice() const;
  QListWidget* list() const { return list_; }

 private:
  QListWidget* list_;
};

}  // namespace wq
