#pragma once
// HXUriEscape: the decoding side of URI texts: percent escapes, the five character references
// that links copied out of HTML carry ("&lt;", "&gt;", "&amp;", "&#39;", "&quot;"), and the
// parser of query variables (name=value pairs separated by "&").
//
// Stateless; thread-safe.

#include <cstddef>
#include <list>
#include <string>

class HXUriEscape {
 public:
  struct QueryVariable {
    std::string name;
    size_t namePos = 0;  // where the name starts in the parsed text
    std::string value;
    // Just after the "="; 0 when the variable had no "=" (a value never starts at 0).
    size_t valuePos = 0;
  };
  using QueryVariables = std::list<QueryVariable>;

  // Splits text[start..] into variables as it is constructed: "&" separates (also written
  // "&amp;"), the first "=" of a variable splits name and value, and the other character
  // references stand for their character. Separators at the start of a variable are skipped.
  class UriVarsParser {
   public:
    UriVarsParser(const std::string& text, QueryVariables& variables, size_t start);
  };

  // Copies `text` to `out` (cleared first), replacing "%" and two hexadecimal digits by that
  // byte and "%%" by "%"; any other "%" stays. Always true.
  static bool unescapePct(const std::string& text, std::string& out);
  // Recognises a character reference at the start of `text` (`length` bytes): the character it
  // stands for and the reference's length (4, 5 or 6). False when there is none.
  static bool unescapeAmp(const char* text, size_t length, char& character,
                          size_t& referenceLength);
};
