#pragma once

#include <string>
#include <string_view>
#include <vector>

// The words of lot descriptions and debtor names as a Russian reader looks for them: letter case
// does not count (Cyrillic included) and ё is е. The words index (SQLite's unicode61 tokenizer)
// folds the case itself; ё is folded before a text reaches it and in every query. The trades a
// harvest stored after the index was last brought up to date are matched by WordsMatch, which
// cuts texts into words as the tokenizer does, so that a reader who may not write the store
// still finds them.
namespace korvalot::store {

// The text with every ё and Ё written as е and Е.
std::string FoldYo(std::string_view text);

// One term of a words query: its words in order (a phrase when several) and whether the last
// stands for every word it begins.
struct WordsTerm {
    std::vector<std::string> words;  // folded
    bool prefix = false;
};

// The words of a text as the index cuts them: runs of letters and digits, case folded, ё as е.
std::vector<std::string> TextWords(std::string_view text);

// The terms of a full-text query as FullTextQuery writes it: quoted terms, each followed by
// " *" when it is a prefix.
std::vector<WordsTerm> ParseWordsQuery(std::string_view query);

// Every term stands in one of the texts, as the index would find it.
bool WordsMatch(const std::vector<WordsTerm>& terms, const std::vector<std::string_view>& texts);

}  // namespace korvalot::store
