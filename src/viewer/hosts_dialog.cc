#include "viewer/hosts_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/util/quorvanta_error.h"

namespace quorvanta::viewer {

HostChoice chooseHost(HostBook& book, QWidget* parent) {
  QDialog dialog(parent);
  dialog.setWindowTitle("Paired hosts");
  auto* layout = new QVBoxLayout(&dialog);
  auto* empty = new QLabel("No host is paired yet. Create a pairing link on the host, then pair with it.");
  empty->setWordWrap(true);
  auto* list = new QListWidget;
  auto* buttons = new QDialogButtonBox;
  QPushButton* connectButton = buttons->addButton("Connect", QDialogButtonBox::AcceptRole);
  QPushButton* forgetButton = buttons->addButton("Forget", QDialogButtonBox::ActionRole);
  QPushButton* pairButton = buttons->addButton("Pair with a host…", QDialogButtonBox::ActionRole);
  buttons->addButton(QDialogButtonBox::Close);
  layout->addWidget(empty);
  layout->addWidget(list);
  layout->addWidget(buttons);

  std::vector<PairedHost> hosts;
  const auto reload = [&] {
    list->clear();
    try {
      hosts = book.hosts();
    } catch (const QuorvantaError& error) {
      hosts.clear();
      empty->setText(QString::fromStdString(error.message()));
    }
    for (const auto& host : hosts) {
      list->addItem(QString::fromStdString(host.name) + "  (" + QString::fromStdString(host.state.address) +
                    ")");
    }
    empty->setVisible(hosts.empty());
    if (!hosts.empty()) list->setCurrentRow(0);
    connectButton->setEnabled(!hosts.empty());
    forgetButton->setEnabled(!hosts.empty());
  };
  reload();

  HostChoice choice;
  QObject::connect(connectButton, &QPushButton::clicked, &dialog, [&] {
    const int row = list->currentRow();
    if (row < 0 || row >= int(hosts.size())) return;
    choice.host = hosts[std::size_t(row)];
    dialog.accept();
  });
  QObject::connect(list, &QListWidget::itemActivated, &dialog, [&] { connectButton->click(); });
  QObject::connect(forgetButton, &QPushButton::clicked, &dialog, [&] {
    const int row = list->currentRow();
    if (row < 0 || row >= int(hosts.size())) return;
    const auto& host = hosts[std::size_t(row)];
    if (QMessageBox::question(&dialog, "Forget host",
                              "Forget " + QString::fromStdString(host.name) +
                                  "? You will need a new pairing link to connect to it again.") !=
        QMessageBox::Yes)
      return;
    try {
      book.forget(host.state.hostID);
    } catch (const QuorvantaError& error) {
      QMessageBox::warning(&dialog, "Forget host", QString::fromStdString(error.message()));
    }
    reload();
  });
  QObject::connect(pairButton, &QPushButton::clicked, &dialog, [&] {
    choice.pair = true;
    dialog.accept();
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  dialog.resize(420, 300);
  dialog.exec();
  return choice;
}

}  // namespace quorvanta::viewer
