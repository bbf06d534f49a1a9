// PathList: the job's ordered list of source paths, kept compact because the whole tree is
// listed before the first conversion and the list lives for the whole batch. A path is kept as
// its folder part, shared with the path before it when they agree, and its last component;
// the collection lists a folder's files one after another, so each folder is kept once.
// Paths are whole strings to callers: an entry comes back exactly as it was appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

class PathList {
 public:
  class const_iterator;
  using iterator = const_iterator;

  PathList() = default;
  PathList(std::initializer_list<std::string_view> paths);

  // Appends path at the end.
  void push_back(std::string_view path);
  // Returns entry i (i below size()) as it was appended.
  std::string operator[](size_t i) const;
  size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  // Removes every entry; the storage is kept until shrink_to_fit.
  void clear();
  // Releases the storage that the entries no longer need.
  void shrink_to_fit();

  const_iterator begin() const;
  const_iterator end() const;

  // Returns whether both hold the same paths in the same order.
  friend bool operator==(const PathList& a, const std::vector<std::string>& b);

 private:
  // Folder parts in order, each with the index of its first entry; a path without a '/' has
  // an empty folder part.
  std::vector<std::string> folders_;
  std::vector<size_t> folderFirst_;
  // Last components back to back, and where each entry's component starts: it ends where the
  // next one starts. Deques grow without copying what they hold, so that a long list never
  // holds its old and new storage at once.
  std::deque<char> names_;
  std::deque<uint64_t> starts_;
};

class PathList::const_iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = std::string;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = std::string;

  const_iterator(const PathList* list, size_t index) : list_(list), index_(index) {}
  std::string operator*() const { return (*list_)[index_]; }
  const_iterator& operator++() {
    ++index_;
    return *this;
  }
  bool operator==(const const_iterator& other) const { return index_ == other.index_; }
  bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

 private:
  const PathList* list_;
  size_t index_;
};

inline PathList::const_iterator PathList::begin() const { return const_iterator(this, 0); }
inline PathList::const_iterator PathList::end() const { return const_iterator(this, size()); }
