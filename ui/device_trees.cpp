#include "ui/device_trees.h"

namespace tovaly::ui {
namespace {
constexpr int kIdRole = Qt::UserRole;
}  // namespace

DeviceTrees::DeviceTrees(QTreeWidget* servers, QLabel* serverLabel, QTreeWidget* renderers, QLabel* rendererLabel)
    : servers_(servers), serverLabel_(serverLabel), renderers_(renderers), rendererLabel_(rendererLabel) {
  for (QTreeWidget* tree : {servers_, renderers_}) {
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    // Alphabetical at every level, also for what arrives later.
    tree->setSortingEnabled(true);
    tree->sortByColumn(0, Qt::AscendingOrder);
  }
}

uint64_t DeviceTrees::AddTop(QTreeWidget* tree, NodeRecord::Kind kind, const QString& name, const std::string& udn) {
  // A device that announces itself again gets a fresh node.
  if (const uint64_t old = FindTop(tree, udn)) Delete(nodes_.at(old).item);
  auto* item = new QTreeWidgetItem(QStringList{name});
  const uint64_t id = nextId_++;
  item->setData(0, kIdRole, QVariant::fromValue<qulonglong>(id));
  NodeRecord record;
  record.kind = kind;
  record.udn = udn;
  nodes_[id] = Node{record, item};
  tree->addTopLevelItem(item);
  UpdateLabels();
  return id;
}

uint64_t DeviceTrees::AddServer(const QString& name, const std::string& udn) {
  const uint64_t id = AddTop(servers_, NodeRecord::kServer, name, udn);
  nodes_.at(id).item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return id;
}

uint64_t DeviceTrees::AddRenderer(const QString& name, const std::string& udn) {
  const uint64_t id = AddTop(renderers_, NodeRecord::kRenderer, name, udn);
  if (!renderers_->currentItem()) renderers_->setCurrentItem(nodes_.at(id).item);
  return id;
}

bool DeviceTrees::RemoveServer(const std::string& udn) {
  const uint64_t id = FindTop(servers_, udn);
  if (id) Delete(nodes_.at(id).item);
  return id != 0;
}

bool DeviceTrees::RemoveRenderer(const std::string& udn) {
  const uint64_t id = FindTop(renderers_, udn);
  if (id) Delete(nodes_.at(id).item);
  return id != 0;
}

void DeviceTrees::ClearServers() {
  while (servers_->topLevelItemCount()) Delete(servers_->topLevelItem(0));
}

void DeviceTrees::ClearRenderers() {
  while (renderers_->topLevelItemCount()) Delete(renderers_->topLevelItem(0));
}

uint64_t DeviceTrees::AddContent(uint64_t parent, const QString& title, const NodeRecord& record) {
  auto it = nodes_.find(parent);
  if (it == nodes_.end()) return 0;
  auto* item = new QTreeWidgetItem(QStringList{title});
  const uint64_t id = nextId_++;
  item->setData(0, kIdRole, QVariant::fromValue<qulonglong>(id));
  NodeRecord r = record;
  r.kind = NodeRecord::kContent;
  r.udn = it->second.record.udn;
  if (r.objectClass == 1) {
    r.res.clear();
    // A container shows that it can be opened before its children are read.
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  }
  nodes_[id] = Node{r, item};
  it->second.item->addChild(item);
  return id;
}

bool DeviceTrees::SetStorageLabel(const std::string& udn, const QString& text) {
  const uint64_t id = FindTop(renderers_, udn);
  if (!id) return false;
  QTreeWidgetItem* top = nodes_.at(id).item;
  for (int i = 0; i < top->childCount(); ++i) {
    QTreeWidgetItem* child = top->child(i);
    const NodeRecord* r = Record(IdOf(child));
    if (r && r->kind == NodeRecord::kStorageLabel) {
      child->setText(0, text);
      return true;
    }
  }
  auto* item = new QTreeWidgetItem(QStringList{text});
  const uint64_t labelId = nextId_++;
  item->setData(0, kIdRole, QVariant::fromValue<qulonglong>(labelId));
  NodeRecord r;
  r.kind = NodeRecord::kStorageLabel;
  r.udn = udn;
  nodes_[labelId] = Node{r, item};
  top->addChild(item);
  return true;
}

const NodeRecord* DeviceTrees::Record(uint64_t id) const {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : &it->second.record;
}

NodeRecord* DeviceTrees::Record(uint64_t id) {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : &it->second.record;
}

QTreeWidgetItem* DeviceTrees::Item(uint64_t id) const {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : it->second.item;
}

uint64_t DeviceTrees::IdOf(const QTreeWidgetItem* item) const {
  return item ? item->data(0, kIdRole).toULongLong() : 0;
}

uint64_t DeviceTrees::FindTop(const QTreeWidget* tree, const std::string& udn) const {
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    const uint64_t id = IdOf(tree->topLevelItem(i));
    const NodeRecord* r = Record(id);
    if (r && r->udn == udn) return id;
  }
  return 0;
}

std::vector<uint64_t> DeviceTrees::UnbrowsedChildren(const QTreeWidgetItem* item) const {
  std::vector<uint64_t> out;
  if (!item) return out;
  for (int i = 0; i < item->childCount(); ++i) {
    const uint64_t id = IdOf(item->child(i));
    const NodeRecord* r = Record(id);
    if (r && r->kind == NodeRecord::kContent && r->objectClass == 1 && !r->browsed && item->child(i)->childCount() == 0)
      out.push_back(id);
  }
  return out;
}

std::string DeviceTrees::SelectedRendererUdn() const {
  QTreeWidgetItem* item = renderers_->currentItem();
  while (item && item->parent()) item = item->parent();
  const NodeRecord* r = Record(IdOf(item));
  return r ? r->udn : std::string();
}

void DeviceTrees::Forget(QTreeWidgetItem* item) {
  for (int i = 0; i < item->childCount(); ++i) Forget(item->child(i));
  nodes_.erase(IdOf(item));
}

void DeviceTrees::Delete(QTreeWidgetItem* item) {
  Forget(item);
  delete item;  // takes itself out of its tree, with its children
  UpdateLabels();
}

void DeviceTrees::UpdateLabels() {
  serverLabel_->setText(QStringLiteral("Server (%1)").arg(servers_->topLevelItemCount()));
  rendererLabel_->setText(QStringLiteral("Renderer (%1)").arg(renderers_->topLevelItemCount()));
}

}  // namespace tovaly::ui
