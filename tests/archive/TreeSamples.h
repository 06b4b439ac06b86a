#ifndef QEL_TESTS_ARCHIVE_TREESAMPLES_H_
#define QEL_TESTS_ARCHIVE_TREESAMPLES_H_

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "qel/archive/Component.h"

namespace qel_test {

// A tree of about `leaves` leaves spread over nested composites, whose
// values all carry `mark`, so that trees made with different marks differ
// in every record.  Binary values hold line feeds and bytes of every value.
inline void buildSampleTree(qel::CComposite& root, const std::string& mark, int leaves) {
  qel::CComposite* box = nullptr;
  for (int i = 0; i < leaves; ++i) {
    if (i % 16 == 0) {
      box = new qel::CComposite("box" + std::to_string(i / 16));
      root.add(box);
      if (i % 64 == 0) {
        auto* inner = new qel::CComposite("inner");
        inner->add(new qel::CComponent("deep", mark + "/" + std::to_string(i)));
        box->add(inner);
      }
    }
    const std::string name = "k" + std::to_string(i);
    if (i % 5 == 0) {
      auto* binary = new qel::CBinaryComponent(name);
      std::string bytes = mark + "\n";
      for (int b = 0; b < 40; ++b) {
        bytes += static_cast<char>((i * 7 + b) & 0xFF);
      }
      binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<unsigned int>(bytes.size()));
      box->add(binary);
    } else {
      box->add(new qel::CComponent(name, mark + ":" +
                                             std::string(static_cast<std::size_t>(20 + i % 30),
                                                         static_cast<char>('a' + i % 26))));
    }
  }
}

// A canonical text of a subtree (children sorted by name), for comparing a
// loaded tree with the one that was stored.
inline std::string describeTree(qel::CBaseComponent& node) {
  std::string text = std::to_string(node.getType()) + ":" + node.getName() + "=";
  if (auto* component = dynamic_cast<qel::CComponent*>(&node)) {
    text += component->getValue();
  } else if (auto* binary = dynamic_cast<qel::CBinaryComponent*>(&node)) {
    unsigned int size = 0;
    const unsigned char* data = binary->getData(size);
    text += std::string(reinterpret_cast<const char*>(data), size);
  } else if (auto* composite = dynamic_cast<qel::CComposite*>(&node)) {
    std::list<qel::CBaseComponent*> children;
    composite->getChildren(children);
    std::vector<std::string> parts;
    for (qel::CBaseComponent* child : children) {
      parts.push_back(describeTree(*child));
    }
    std::sort(parts.begin(), parts.end());
    text += "{";
    for (const std::string& part : parts) {
      text += std::to_string(part.size()) + "#" + part;
    }
    text += "}";
  }
  return text;
}

}  // namespace qel_test

#endif  // QEL_TESTS_ARCHIVE_TREESAMPLES_H_
