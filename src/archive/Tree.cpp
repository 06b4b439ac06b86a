#include "qel/archive/Tree.h"

#include <memory>
#include <utility>
#include <vector>

#include "archive/TreePath.h"
#include "qel/core/Exception.h"

namespace qel::tree {

namespace {

[[noreturn]] void refuse(std::string_view path, const std::wstring& what) {
  throw IOException(displayPath(path) + L": " + what);
}

const CComposite* asComposite(const CBaseComponent* node) {
  return node != nullptr && node->isComposite() ? dynamic_cast<const CComposite*>(node) : nullptr;
}

CComposite* asComposite(CBaseComponent* node) {
  return const_cast<CComposite*>(asComposite(static_cast<const CBaseComponent*>(node)));
}

const CBaseComponent* resolve(const CComposite& root, const std::vector<PathStep>& steps,
                              std::size_t count) {
  const CBaseComponent* node = &root;
  for (std::size_t i = 0; i < count && node != nullptr; ++i) {
    const CComposite* composite = asComposite(node);
    node = composite != nullptr ? composite->findInList(steps[i].name, steps[i].index) : nullptr;
  }
  return node;
}

// How many children of composite are named name.  The children of a name
// that findInList reaches are those at indexes below the count: found by
// doubling, then halving, an index.
std::size_t countNamed(const CComposite& composite, std::string_view name) {
  if (composite.findInList(name, 0) == nullptr) {
    return 0;
  }
  std::size_t present = 0;  // an index known to exist
  std::size_t absent = 1;   // and one known not to, once found
  while (composite.findInList(name, absent) != nullptr) {
    present = absent;
    absent *= 2;
  }
  while (absent - present > 1) {
    const std::size_t middle = present + (absent - present) / 2;
    (composite.findInList(name, middle) != nullptr ? present : absent) = middle;
  }
  return absent;
}

std::wstring kindOf(const CBaseComponent& node) {
  if (node.isComposite()) {
    return L"a composite";
  }
  return dynamic_cast<const CBinaryComponent*>(&node) != nullptr ? L"a binary component"
                                                                 : L"a text component";
}

// The composite that is to hold the last step of steps, made where missing
// once every check has passed, so that a refused path changes nothing.
// except, a child of exceptParent, will have left its list by then (a node
// being moved): it does not count among the children of its name.
class Placement {
 public:
  Placement(CComposite& root, std::string_view path, const std::vector<PathStep>& steps,
            const CComposite* exceptParent = nullptr, const CBaseComponent* except = nullptr)
      : _steps(steps), _pParent(&root) {
    if (steps.empty()) {
      refuse(path, L"the root is a composite");
    }
    for (; _nMade < steps.size() - 1; ++_nMade) {
      CBaseComponent* child = _pParent->findInList(steps[_nMade].name, steps[_nMade].index);
      if (child == nullptr) {
        break;
      }
      _pParent = asComposite(child);
      if (_pParent == nullptr) {
        refuse(path,
               displayPath(prefix(_nMade + 1)) + L" is " + kindOf(*child) + L", not a composite");
      }
    }
    // From the first missing composite on, every step adds a child to an
    // empty composite: only index 0 can be made there.
    for (std::size_t i = _nMade; i < steps.size(); ++i) {
      std::size_t present = 0;
      if (i == _nMade) {
        present = countNamed(*_pParent, steps[i].name);
        if (_pParent == exceptParent && except->getName() == steps[i].name) {
          --present;
        }
      }
      if (steps[i].index > present) {
        refuse(path, L"no " + displayPath(escapeName(steps[i].name)) + L"[" +
                         std::to_wstring(steps[i].index - 1) + L"] to add after");
      }
    }
  }

  // The node the last step names, when every composite on the way exists.
  CBaseComponent* existing() const {
    return _nMade == _steps.size() - 1
               ? _pParent->findInList(_steps.back().name, _steps.back().index)
               : nullptr;
  }

  // Adds the missing composites and gives the holder of the last step.
  CComposite& make() {
    for (; _nMade < _steps.size() - 1; ++_nMade) {
      auto fresh = std::make_unique<CComposite>(_steps[_nMade].name);
      _pParent->add(fresh.get());
      _pParent = fresh.release();
    }
    return *_pParent;
  }

  const std::string& name() const { return _steps.back().name; }

 private:
  std::string prefix(std::size_t count) const {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
      out += (i == 0 ? "" : "/") + pathSegment(_steps[i].name, _steps[i].index);
    }
    return out;
  }

  const std::vector<PathStep>& _steps;
  CComposite* _pParent;
  std::size_t _nMade = 0;
};

std::unique_ptr<CComponent> freshLeaf(const std::string& name, const CComponent*) {
  return std::make_unique<CComponent>(name, std::string());
}

std::unique_ptr<CBinaryComponent> freshLeaf(const std::string& name, const CBinaryComponent*) {
  return std::make_unique<CBinaryComponent>(name);
}

// Adds a new leaf of type Leaf at path, or gives the one there.
template <typename Leaf>
Leaf& leafAt(CComposite& root, std::string_view path, const wchar_t* wanted) {
  const std::vector<PathStep> steps = parsePath(path);
  Placement placement(root, path, steps);
  if (CBaseComponent* node = placement.existing()) {
    auto* leaf = node->isComposite() ? nullptr : dynamic_cast<Leaf*>(node);
    if (leaf == nullptr) {
      refuse(path, L"is " + kindOf(*node) + L", not " + wanted);
    }
    return *leaf;
  }
  CComposite& parent = placement.make();
  auto fresh = freshLeaf(placement.name(), static_cast<const Leaf*>(nullptr));
  parent.add(fresh.get());
  return *fresh.release();
}

}  // namespace

const CBaseComponent* lookup(const CComposite& root, std::string_view path) {
  const std::vector<PathStep> steps = parsePath(path);
  return resolve(root, steps, steps.size());
}

CBaseComponent* lookup(CComposite& root, std::string_view path) {
  return const_cast<CBaseComponent*>(lookup(std::as_const(root), path));
}

std::optional<std::string> getText(const CComposite& root, std::string_view path) {
  const CBaseComponent* node = lookup(root, path);
  const auto* leaf =
      node != nullptr && !node->isComposite() ? dynamic_cast<const CComponent*>(node) : nullptr;
  if (leaf == nullptr) {
    return std::nullopt;
  }
  return leaf->getValue();
}

CComponent& setText(CComposite& root, std::string_view path, std::string_view value) {
  CComponent& leaf = leafAt<CComponent>(root, path, L"a text component");
  leaf.setValue(std::string(value));
  return leaf;
}

CBinaryComponent& setData(CComposite& root, std::string_view path, const unsigned char* data,
                          unsigned int size) {
  CBinaryComponent& leaf = leafAt<CBinaryComponent>(root, path, L"a binary component");
  if (data == nullptr || size == 0) {
    // setData keeps the bytes held when given none.
    leaf = CBinaryComponent(leaf.getName());
  } else {
    leaf.setData(data, size);
  }
  return leaf;
}

bool remove(CComposite& root, std::string_view path) {
  const std::vector<PathStep> steps = parsePath(path);
  if (steps.empty()) {
    refuse(path, L"the root cannot be removed");
  }
  auto* parent = const_cast<CComposite*>(asComposite(resolve(root, steps, steps.size() - 1)));
  CBaseComponent* node =
      parent != nullptr ? parent->findInList(steps.back().name, steps.back().index) : nullptr;
  if (node == nullptr) {
    return false;
  }
  parent->remove(node);
  return true;
}

bool move(CComposite& root, std::string_view from, std::string_view to) {
  const std::vector<PathStep> source = parsePath(from);
  if (source.empty()) {
    refuse(from, L"the root cannot be moved");
  }
  auto* oldParent = const_cast<CComposite*>(asComposite(resolve(root, source, source.size() - 1)));
  CBaseComponent* node = oldParent != nullptr
                             ? oldParent->findInList(source.back().name, source.back().index)
                             : nullptr;
  if (node == nullptr) {
    return false;
  }
  const std::vector<PathStep> target = parsePath(to);
  for (std::size_t i = 0; i <= target.size(); ++i) {
    const CBaseComponent* onTheWay = resolve(root, target, i);
    if (onTheWay == nullptr) {
      break;
    }
    if (onTheWay == node) {
      refuse(to, L"lies inside " + displayPath(from));
    }
  }
  Placement placement(root, to, target, oldParent, node);
  if (placement.existing() != nullptr) {
    refuse(to, L"exists");
  }
  CComposite& newParent = placement.make();
  const std::string oldName = node->getName();
  std::unique_ptr<CBaseComponent> held(oldParent->detach(node));
  held->setName(placement.name());
  try {
    newParent.add(held.get());
  } catch (...) {
    // Out of memory: the node goes back where it came from, last.
    held->setName(oldName);
    oldParent->add(held.get());
    static_cast<void>(held.release());
    throw;
  }
  static_cast<void>(held.release());
  return true;
}

void visit(const CComposite& root,
           const std::function<void(const std::string& path, const CBaseComponent& node)>& f) {
  struct Frame {
    const CComposite* pComposite;
    CComposite::ChildPosition position;
    std::size_t nPathLength;  // of the composite's own path
    const CBaseComponent* pPrevious;
    std::size_t nIndex;  // of the previous child among those of its name
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{&root, root.firstChild(), 0, nullptr, 0});
  std::string path;
  while (!stack.empty()) {
    Frame& top = stack.back();
    const CBaseComponent* child = top.position.pChild;
    if (child == nullptr) {
      stack.pop_back();
      continue;
    }
    const CComposite::ChildPosition next = top.pComposite->nextChild(top.position);
    std::size_t index = 0;
    if (next.pChild == nullptr) {
      // The last child (perhaps the last added one, not yet among the others
      // of its name) is the last of its name.
      index = countNamed(*top.pComposite, child->getName()) - 1;
    } else if (top.pPrevious != nullptr && top.pPrevious->getName() == child->getName()) {
      index = top.nIndex + 1;
    }
    top.position = next;
    top.pPrevious = child;
    top.nIndex = index;
    path.resize(top.nPathLength);
    if (stack.size() > 1) {
      path += '/';
    }
    path += pathSegment(child->getName(), index);
    f(path, *child);
    const CComposite* composite = asComposite(child);
    if (composite != nullptr && composite->hasChildren()) {
      stack.push_back(Frame{composite, composite->firstChild(), path.size(), nullptr, 0});
    }
  }
}

}  // namespace qel::tree
