// A small XML element tree for the builder's own settings files: read with
// expat, written back as UTF-8 with two-space indentation. Reading refuses a
// document larger than kMaxSettingsBytes or nested deeper than kMaxXmlDepth;
// neither writing nor destroying a tree recurses, whatever its depth.
#ifndef QUASTO_BUILDER_XML_DOC_H_
#define QUASTO_BUILDER_XML_DOC_H_

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quasto {

struct XmlElement {
  XmlElement() = default;
  XmlElement(XmlElement&& other) noexcept = default;
  XmlElement& operator=(XmlElement&& other) noexcept;
  ~XmlElement();

  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  // Character data. White space between child elements is not kept.
  std::string text;
  std::vector<std::unique_ptr<XmlElement>> children;

  // First child with the name, nullptr when none.
  XmlElement* Child(std::string_view child_name) const;
  // Appends a new child as the last one.
  XmlElement* AddChild(std::string name);
  // Attribute value, nullptr when missing.
  const std::string* Attribute(std::string_view attr) const;
  void SetAttribute(const std::string& attr, const std::string& value);
};

// Parses a whole document into its root element. False for text that is not
// well-formed XML, holds a document type declaration (entities could make
// it grow without bound), or exceeds the size or depth bound.
bool ParseXml(std::string_view text, XmlElement* root);

// The document as UTF-8 text with an XML declaration.
std::string WriteXml(const XmlElement& root);

// True when the text may stand as an element or attribute name.
bool IsXmlName(std::string_view name);

}  // namespace quasto

#endif  // QUASTO_BUILDER_XML_DOC_H_
