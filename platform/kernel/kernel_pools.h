// Containers for the kernel's queues that stop calling the heap once they have reached
// their working size: a map's nodes go to a free list and come back on the next insert, and
// the ready queue is a ring that only grows. All of it is guarded by Kernel::Impl::m.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <utility>
#include <vector>

namespace kemu::detail {

// Freed nodes of one size, kept for reuse. Outlives every container that draws on it.
class NodeFreeList {
public:
  NodeFreeList() = default;
  NodeFreeList(const NodeFreeList&) = delete;
  NodeFreeList& operator=(const NodeFreeList&) = delete;
  ~NodeFreeList() {
    while (head_ != nullptr) {
      Link* next = head_->next;
      ::operator delete(head_);
      head_ = next;
    }
  }
  void* take(std::size_t n) {
    if (size_ == 0) {
      size_ = n;
    }
    if (n == size_ && head_ != nullptr) {
      Link* l = head_;
      head_ = l->next;
      return l;
    }
    return ::operator new(std::max(n, sizeof(Link)));
  }
  void give(void* p, std::size_t n) {
    if (n != size_) {
      ::operator delete(p);
      return;
    }
    auto* l = static_cast<Link*>(p);
    l->next = head_;
    head_ = l;
  }

private:
  struct Link {
    Link* next;
  };
  Link* head_ = nullptr;
  std::size_t size_ = 0;
};

template <class T> class FreeListAlloc {
public:
  using value_type = T;
  explicit FreeListAlloc(NodeFreeList* list) : list_(list) {}
  template <class U> FreeListAlloc(const FreeListAlloc<U>& o) : list_(o.list()) {}
  T* allocate(std::size_t n) {
    if (n == 1) {
      return static_cast<T*>(list_->take(sizeof(T)));
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n == 1) {
      list_->give(p, sizeof(T));
    } else {
      ::operator delete(p);
    }
  }
  NodeFreeList* list() const { return list_; }
  template <class U> bool operator==(const FreeListAlloc<U>& o) const { return list_ == o.list(); }

private:
  NodeFreeList* list_;
};

// A std::map whose nodes come from its own free list.
template <class K, class V, class C = std::less<K>>
class PooledMap : private NodeFreeList,
                  public std::map<K, V, C, FreeListAlloc<std::pair<const K, V>>> {
  using Base = std::map<K, V, C, FreeListAlloc<std::pair<const K, V>>>;

public:
  PooledMap() : Base(FreeListAlloc<std::pair<const K, V>>(static_cast<NodeFreeList*>(this))) {}
};

// A std::set whose nodes come from its own free list.
template <class K, class C = std::less<K>>
class PooledSet : private NodeFreeList, public std::set<K, C, FreeListAlloc<K>> {
  using Base = std::set<K, C, FreeListAlloc<K>>;

public:
  PooledSet() : Base(FreeListAlloc<K>(static_cast<NodeFreeList*>(this))) {}
};

// A FIFO on a ring buffer that grows by doubling and never shrinks.
template <class T> class Ring {
public:
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  const T& front() const { return buf_[head_]; }
  void pop_front() {
    head_ = (head_ + 1) & (buf_.size() - 1);
    --count_;
  }
  void push_back(const T& v) {
    if (count_ == buf_.size()) {
      grow();
    }
    buf_[(head_ + count_) & (buf_.size() - 1)] = v;
    ++count_;
  }
  void clear() {
    head_ = 0;
    count_ = 0;
  }

private:
  void grow() {
    std::vector<T> next(std::max<std::size_t>(16, buf_.size() * 2));
    for (std::size_t i = 0; i < count_; ++i) {
      next[i] = buf_[(head_ + i) & (buf_.size() - 1)];
    }
    buf_ = std::move(next);
    head_ = 0;
  }
  std::vector<T> buf_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

} // namespace kemu::detail
