#ifndef QEL_FUZZ_TREEMODEL_H_
#define QEL_FUZZ_TREEMODEL_H_

// A plain model of a component tree, for comparing trees after storing and
// loading them, and a model of how a stored record stream loads back.

#include <algorithm>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"

namespace qel_fuzz {

struct Node {
  enum Kind { TEXT, BINARY, COMPOSITE };
  Kind kind = COMPOSITE;
  std::string name;
  std::string value;  // the text, or the bytes of a binary component
  std::vector<std::unique_ptr<Node>> children;
};

// Copies a tree into the model, children in list order.  Iterative: the
// depth of a tree may be anything the input asks for.
inline std::unique_ptr<Node> snapshot(qel::CComposite& root) {
  auto top = std::make_unique<Node>();
  top->name = root.getName();
  std::vector<std::pair<qel::CComposite*, Node*>> pending(1, {&root, top.get()});
  while (!pending.empty()) {
    qel::CComposite* composite = pending.back().first;
    Node* node = pending.back().second;
    pending.pop_back();
    std::list<qel::CBaseComponent*> children;
    composite->getChildren(children);
    QEL_FUZZ_CHECK(children.size() == composite->getChildCount());
    for (qel::CBaseComponent* child : children) {
      auto copy = std::make_unique<Node>();
      copy->name = child->getName();
      if (auto* text = dynamic_cast<qel::CComponent*>(child)) {
        QEL_FUZZ_CHECK(child->getType() == qel::CBaseComponent::TYPE_COMPONENT);
        copy->kind = Node::TEXT;
        copy->value = text->getValue();
      } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(child)) {
        QEL_FUZZ_CHECK(child->getType() == qel::CBaseComponent::TYPE_BINARY);
        copy->kind = Node::BINARY;
        unsigned int size = 0;
        const unsigned char* bytes = binary->getData(size);
        QEL_FUZZ_CHECK((size == 0) == (bytes == nullptr));
        copy->value.assign(reinterpret_cast<const char*>(bytes), size);
      } else {
        auto* inner = dynamic_cast<qel::CComposite*>(child);
        QEL_FUZZ_CHECK(inner != nullptr && inner->isComposite());
        copy->kind = Node::COMPOSITE;
        pending.emplace_back(inner, copy.get());
      }
      node->children.push_back(std::move(copy));
    }
  }
  return top;
}

inline bool sameTree(const Node& a, const Node& b) {
  std::vector<std::pair<const Node*, const Node*>> pending(1, {&a, &b});
  while (!pending.empty()) {
    const Node* x = pending.back().first;
    const Node* y = pending.back().second;
    pending.pop_back();
    if (x->kind != y->kind || x->name != y->name || x->value != y->value ||
        x->children.size() != y->children.size()) {
      return false;
    }
    for (std::size_t i = 0; i < x->children.size(); ++i) {
      pending.emplace_back(x->children[i].get(), y->children[i].get());
    }
  }
  return true;
}

inline std::size_t nodeCount(const Node& root) {
  std::size_t count = 0;
  std::vector<const Node*> pending(1, &root);
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    ++count;
    for (const auto& child : node->children) {
      pending.push_back(child.get());
    }
  }
  return count;
}

// Whether storing the tree succeeds: every name, text value and byte array
// must fit a field, and no name or text value may hold a line feed (a
// store refuses what it cannot write exactly).
inline bool fitsFields(const Node& root) {
  constexpr std::size_t limit = qel::CArchive::MAX_VALUE_LENGTH;
  const auto storable = [](const std::string& text) {
    return text.size() <= limit && text.find('\n') == std::string::npos;
  };
  std::vector<const Node*> pending(1, &root);
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    if (!storable(node->name)) {
      return false;
    }
    if (node->kind == Node::TEXT && !storable(node->value)) {
      return false;
    }
    if (node->kind == Node::BINARY && node->value.size() > limit) {
      return false;
    }
    for (const auto& child : node->children) {
      pending.push_back(child.get());
    }
  }
  return true;
}

// The tree that loading the stored form of root into an unnamed composite
// gives, and the code loading ends with.  Storing writes a start record for
// every composite but an unnamed root, one record per leaf and an end record
// for every composite.  Loading adds each
// record's node to the innermost open composite, an end record closes it,
// and loading stops when the loading composite itself is closed.  Children
// come out in the order that repeated add gives: sorted by name (equal
// names in the order added), the last added one at the end.
inline std::unique_ptr<Node> expectedLoad(const Node& root, qel::CArchive::RetError& code) {
  struct Event {
    enum Kind { LEAF, START, END } kind;
    const Node* node;
  };
  std::vector<Event> events;
  {
    struct Frame {
      const Node* node;
      std::size_t next;
    };
    std::vector<Frame> stack;
    if (!root.name.empty()) {
      events.push_back({Event::START, &root});
    }
    stack.push_back({&root, 0});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.node->children.size()) {
        events.push_back({Event::END, frame.node});
        stack.pop_back();
        continue;
      }
      const Node* child = frame.node->children[frame.next++].get();
      if (child->kind != Node::COMPOSITE) {
        events.push_back({Event::LEAF, child});
      } else {
        events.push_back({Event::START, child});
        stack.push_back({child, 0});
      }
    }
  }

  auto top = std::make_unique<Node>();
  std::vector<Node*> open(1, top.get());
  code = qel::CArchive::RET_END_OF_DATA;
  for (const Event& event : events) {
    if (event.kind == Event::END) {
      open.pop_back();
      if (open.empty()) {
        code = qel::CArchive::RET_OK;
        break;
      }
      continue;
    }
    auto node = std::make_unique<Node>();
    node->kind = event.node->kind;
    node->name = event.node->name;
    node->value = event.node->value;
    Node* added = node.get();
    open.back()->children.push_back(std::move(node));
    if (event.kind == Event::START) {
      open.push_back(added);
    }
  }

  // The list order of add.
  std::vector<Node*> pending(1, top.get());
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    auto& children = node->children;
    if (children.size() > 1) {
      std::stable_sort(children.begin(), children.end() - 1,
                       [](const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
                         return a->name < b->name;
                       });
    }
    for (const auto& child : children) {
      pending.push_back(child.get());
    }
  }
  return top;
}

}  // namespace qel_fuzz

#endif  // QEL_FUZZ_TREEMODEL_H_
