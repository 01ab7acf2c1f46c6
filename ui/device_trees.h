#pragma once
// The two trees of the main window: media servers with their content, and
// renderers. Each node carries a record; the engines name a node by an id
// (a browse token) that stays safe to use after the node is gone.

#include <QLabel>
#include <QTreeWidget>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tovaly::ui {

struct NodeRecord {
  enum Kind { kServer, kRenderer, kContent, kStorageLabel };
  Kind kind = kContent;
  std::string udn;  // the device's; for content, the server it belongs to
  std::string objectId, res, protocolInfo, date;
  std::string artist, album, albumArtURI;  // items, where the server says
  int objectClass = 0;  // 1 container, 2-6 items
  bool browsed = false;  // a browse of its children was started
};

class DeviceTrees {
 public:
  DeviceTrees(QTreeWidget* servers, QLabel* serverLabel, QTreeWidget* renderers, QLabel* rendererLabel);

  // A device that appeared: a node of its own, replacing any node of the same
  // UDN. Returns the node's id.
  uint64_t AddServer(const QString& name, const std::string& udn);
  uint64_t AddRenderer(const QString& name, const std::string& udn);
  // The node of that UDN goes, with everything below it; false when none.
  bool RemoveServer(const std::string& udn);
  bool RemoveRenderer(const std::string& udn);
  void ClearServers();
  void ClearRenderers();

  // Content found while browsing below node `parent`; 0 when the parent is
  // gone by now (its server left or the tree was cleared).
  uint64_t AddContent(uint64_t parent, const QString& title, const NodeRecord& record);
  // The one text child of a renderer that shows its storage; false without
  // that renderer.
  bool SetStorageLabel(const std::string& udn, const QString& text);

  // Null when the node is gone.
  const NodeRecord* Record(uint64_t id) const;
  NodeRecord* Record(uint64_t id);
  QTreeWidgetItem* Item(uint64_t id) const;
  uint64_t IdOf(const QTreeWidgetItem* item) const;
  uint64_t ServerId(const std::string& udn) const { return FindTop(servers_, udn); }
  uint64_t RendererId(const std::string& udn) const { return FindTop(renderers_, udn); }

  // The containers just below `item` whose children were never asked for:
  // expanding a node reads one level ahead of what the user opened.
  std::vector<uint64_t> UnbrowsedChildren(const QTreeWidgetItem* item) const;
  // The UDN of the renderer whose node (or a node below it) is selected; empty
  // when none is.
  std::string SelectedRendererUdn() const;

  int ServerCount() const { return servers_->topLevelItemCount(); }
  int RendererCount() const { return renderers_->topLevelItemCount(); }

 private:
  uint64_t AddTop(QTreeWidget* tree, NodeRecord::Kind kind, const QString& name, const std::string& udn);
  uint64_t FindTop(const QTreeWidget* tree, const std::string& udn) const;
  void Forget(QTreeWidgetItem* item);  // drops the records of item and below
  void Delete(QTreeWidgetItem* item);
  void UpdateLabels();

  QTreeWidget* servers_;
  QLabel* serverLabel_;
  QTreeWidget* renderers_;
  QLabel* rendererLabel_;
  struct Node {
    NodeRecord record;
    QTreeWidgetItem* item;
  };
  std::unordered_map<uint64_t, Node> nodes_;
  uint64_t nextId_ = 1;
};

}  // namespace tovaly::ui
