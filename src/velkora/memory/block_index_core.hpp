// The free-block tree without Python: a red-black tree with one node per distinct block size, each
// node holding the chain of blocks of that size, plus the sequence counter that lets readers
// detect writers.
//
// Chain order: the block stored when the size was absent stays at the head; every later block
// becomes the second member, so the rest of the chain is newest first. The node keeps the head in
// block_obj and the others in an array, oldest first (chain position p >= 1 is items[n - p]):
// adding a block is an append, promoting the second member is a pop, and walking a chain reads
// contiguous memory instead of chasing one record per block.
//
// The tree never touches what a block pointer points to: removals hand the block back, so the
// owner of the blocks decides when (and under which locks) a block is released.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace block_index::core {

enum class Color : uint64_t { RED = 0, BLACK = 1 };

// The chain members after the head, oldest first. Capacities are 2^k - 1 so that the whole
// allocation (header included) is a power of two: 32, 64, 128, ... bytes.
struct LaterBlocks {
    uint32_t count;
    uint32_t capacity;
    void* items[];  // count used, capacity allocated
};

// One cache line per node: a walk or an exact lookup reads a single line of each node it visits.
struct alignas(64) RBNode {
    RBNode* parent;
    RBNode* left;        // smaller sizes
    RBNode* right;       // larger sizes
    uint64_t size;       // the key
    void* block_obj;     // the chain's head; the owner keeps one reference per stored block
    LaterBlocks* later;  // the other blocks; null when there are none
    RBNode* hash_next;   // the next node of the same size-index bucket
    // Monotonic time at creation (record_time_ns, never read) shifted left by one, and the
    // colour in the low bit.
    uint64_t stamp_color;

    Color color() const { return static_cast<Color>(stamp_color & 1u); }
    void set_color(Color c) { stamp_color = (stamp_color & ~uint64_t{1}) | static_cast<uint64_t>(c); }
    uint64_t insert_time_ns() const { return stamp_color >> 1; }

    uint64_t later_count() const { return later != nullptr ? later->count : 0; }
    uint64_t chain_length() const { return uint64_t{1} + later_count(); }
    // The block at chain position p (0 is the head).
    void* chain_at(uint64_t p) const { return p == 0 ? block_obj : later->items[later->count - p]; }
};
static_assert(sizeof(RBNode) == 64, "one node per cache line");

inline uint64_t monotonic_ns() {
    const auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t).count());
}

namespace detail {

// The processor's free-running counter, and how many of its ticks make roughly 10 microseconds
// (0 where there is no such counter).
#if defined(__x86_64__)
inline uint64_t cycle_counter() { return __rdtsc(); }
inline uint64_t refresh_ticks() { return uint64_t{1} << 15; }  // >= 1 GHz time-stamp counters
#elif defined(__aarch64__)
inline uint64_t cycle_counter() {
    uint64_t v;
    asm volatile("mrs %0, cntvct_el0" : "=r"(v));
    return v;
}
inline uint64_t refresh_ticks() {
    uint64_t f;
    asm volatile("mrs %0, cntfrq_el0" : "=r"(f));
    return f / 100000 + 1;
}
#else
inline uint64_t cycle_counter() { return 0; }
inline uint64_t refresh_ticks() { return 0; }
#endif

}  // namespace detail

// Creation time of a node: monotonic nanoseconds, at most about 10 microseconds stale. Nothing
// reads it, and reading the system clock costs a system call on some virtual machines, so the
// last reading is reused until the processor's counter shows that time has moved on.
inline uint64_t record_time_ns() {
    static uint64_t last_tick, last_ns;  // shared by all trees; accessed atomically
    static const uint64_t window = detail::refresh_ticks();
    std::atomic_ref<uint64_t> tick_ref(last_tick), ns_ref(last_ns);
    const uint64_t tick = detail::cycle_counter();
    const uint64_t ns = ns_ref.load(std::memory_order_relaxed);
    if (window != 0 && ns != 0 && tick - tick_ref.load(std::memory_order_relaxed) < window) {
        return ns;
    }
    const uint64_t now = monotonic_ns();
    tick_ref.store(tick, std::memory_order_relaxed);
    ns_ref.store(now, std::memory_order_relaxed);
    return now;
}

// Even while the tree is stable, odd while a writer is inside its change. Writers: begin()/end()
// around a change (release ordering, so an unchanged even value proves a reader saw no change).
// Readers: read_begin(), walk, read_validate().
struct SeqCounter {
    uint64_t value;

    uint64_t load() const {
        return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(value))
            .load(std::memory_order_acquire);
    }
    bool odd() const { return (load() & 1u) != 0; }
    void begin() {
        std::atomic_ref<uint64_t> v(value);
        v.store(v.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }
    void end() {
        std::atomic_ref<uint64_t> v(value);
        v.store(v.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    // A writer nested inside another writer's section on the same thread: the value stays odd and
    // still moves by two, so the outer writer sees that the tree changed.
    void bump_nested() {
        std::atomic_ref<uint64_t> v(value);
        v.store(v.load(std::memory_order_relaxed) + 2, std::memory_order_release);
    }
    uint64_t read_begin() const { return load(); }
    bool read_validate(uint64_t start) const {
        std::atomic_thread_fence(std::memory_order_acquire);
        return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(value))
                   .load(std::memory_order_relaxed) == start;
    }
};

// Where the tree's memory comes from (`Mem` below): any type with alloc(bytes), realloc(p, bytes),
// free(p). Allocation failures return null and leave the tree unchanged.
//
// Node memory of one tree: chunks the tree owns, carved into nodes in allocation order, with
// freed nodes reused first. Keeps a tree's nodes close together (fewer cache and TLB misses on
// walks than nodes scattered among every other allocation of the process) and makes allocation a
// pointer bump. The chunks go back to the system when the tree is cleared or destroyed.
struct NodeArena {
    // Nodes. Small, so that a tree of a few sizes costs a few hundred bytes, not 4 KiB: programs
    // keep many small trees (one per pool, trees inside records). Chunks double from here.
    static constexpr uint64_t kFirstChunk = 4;
    static constexpr uint64_t kLargestChunk = 32768; // nodes: 2 MiB

    // The first node-sized slot of a chunk: the chunk list, and what to hand back to free().
    struct ChunkHeader {
        ChunkHeader* next;
        void* raw;
    };

    ChunkHeader* chunks;
    RBNode* free_nodes;  // freed nodes, linked through `parent`
    RBNode* bump;        // the next never-used node of the newest chunk
    RBNode* bump_end;
    uint64_t chunk_nodes;  // size of the next chunk

    template <class Mem>
    RBNode* alloc(Mem& mem) {
        if (free_nodes != nullptr) {
            RBNode* n = free_nodes;
            free_nodes = n->parent;
            return n;
        }
        if (bump == bump_end) {
            const uint64_t nodes = chunk_nodes == 0 ? kFirstChunk : chunk_nodes;
            // Room to line the nodes up on cache-line boundaries whatever the allocator gives.
            void* raw = mem.alloc((nodes + 1) * sizeof(RBNode) + alignof(RBNode) - 1);
            if (raw == nullptr) return nullptr;
            const auto at = (reinterpret_cast<uintptr_t>(raw) + alignof(RBNode) - 1) &
                            ~uintptr_t{alignof(RBNode) - 1};
            RBNode* first = reinterpret_cast<RBNode*>(at);
            auto* header = reinterpret_cast<ChunkHeader*>(first);
            header->next = chunks;
            header->raw = raw;
            chunks = header;
            bump = first + 1;
            bump_end = bump + nodes;
            chunk_nodes = nodes < kLargestChunk ? nodes * 2 : kLargestChunk;
        }
        return bump++;
    }

    void free(RBNode* n) {
        n->parent = free_nodes;
        free_nodes = n;
    }

    template <class Mem>
    void release(Mem& mem) {
        while (chunks != nullptr) {
            ChunkHeader* next = chunks->next;
            mem.free(chunks->raw);
            chunks = next;
        }
        *this = NodeArena{};
    }
};

// A tree taken out of its owner by RBTree::detach(), to be freed by free_detached().
struct DetachedTree {
    RBNode* root;
    NodeArena arena;
    RBNode** buckets;
};

// Fibonacci hashing of a size into the top `bits` bits.
inline uint64_t bucket_of(uint64_t size, uint32_t shift) {
    return (size * UINT64_C(0x9E3779B97F4A7C15)) >> shift;
}

// Zero-initialised memory is an empty tree (the binding embeds it in a Python object).
//
// Beside the tree, an index from size to node (buckets chained through hash_next) answers exact
// lookups in one or two probes instead of a walk from the root. It is an accelerator only: it
// holds every node or does not exist (buckets null), and when it cannot grow for lack of memory
// the tree keeps working with longer bucket chains.
struct RBTree {
    RBNode* root;
    uint64_t node_count;  // stored blocks: chain heads plus later members
    NodeArena arena;
    RBNode** buckets;        // null, or 1 << (64 - bucket_shift) bucket heads
    uint64_t size_count;     // tree nodes (distinct sizes)
    uint32_t bucket_shift;

    static constexpr uint32_t kMinBucketBits = 4;
    static constexpr uint64_t kMaxLoad = 2;  // nodes per bucket before the index doubles

    static bool is_red(const RBNode* n) { return n != nullptr && n->color() == Color::RED; }
    static bool is_black(const RBNode* n) { return !is_red(n); }

    RBNode* find_node(uint64_t size) const {
        if (buckets != nullptr) [[likely]] {
            RBNode* n = buckets[bucket_of(size, bucket_shift)];
            while (n != nullptr && n->size != size) n = n->hash_next;
            return n;
        }
        RBNode* n = root;
        while (n != nullptr && n->size != size) n = size < n->size ? n->left : n->right;
        return n;
    }

    // The node with the smallest key not below `size`.
    RBNode* find_best_fit_node(uint64_t size) const {
        RBNode* candidate = nullptr;
        RBNode* n = root;
        while (n != nullptr) {
            if (n->size >= size) {
                candidate = n;  // keys shrink as the walk goes left
                n = n->left;
            } else {
                n = n->right;
            }
        }
        return candidate;
    }

    static RBNode* minimum(RBNode* n) {
        while (n->left != nullptr) n = n->left;
        return n;
    }

    // Stores `block` under `size`: the second member of the size's chain when the size is present
    // (the head stays), otherwise the head of a new tree node. False when memory ran out; the tree
    // is then unchanged.
    template <class Mem>
    bool insert(uint64_t size, void* block, Mem& mem) {
        if (buckets != nullptr) [[likely]] {
            if (RBNode* hit = find_node(size)) return append_later(hit, block, mem);
        }
        RBNode* parent = nullptr;
        RBNode* n = root;
        while (n != nullptr) {
            if (size == n->size) return append_later(n, block, mem);
            parent = n;
            n = size < n->size ? n->left : n->right;
        }
        RBNode* rec = arena.alloc(mem);
        if (rec == nullptr) return false;
        rec->parent = parent;
        rec->left = rec->right = nullptr;
        rec->size = size;
        rec->block_obj = block;
        rec->later = nullptr;
        rec->stamp_color = (record_time_ns() << 1) | static_cast<uint64_t>(Color::RED);
        if (parent == nullptr) {
            root = rec;
        } else if (size < parent->size) {
            parent->left = rec;
        } else {
            parent->right = rec;
        }
        fixup_insert(rec);
        ++node_count;
        ++size_count;
        if (buckets != nullptr) {
            RBNode** head = &buckets[bucket_of(size, bucket_shift)];
            rec->hash_next = *head;
            *head = rec;
        }
        const uint64_t capacity = buckets != nullptr ? uint64_t{1} << (64 - bucket_shift) : 0;
        if (size_count > capacity * kMaxLoad) rebuild_index(mem);
        return true;
    }

    // Removes the head of `node`'s chain and returns it: the second member is promoted to the
    // head, or, when the chain has no other member, the node leaves the tree and is freed.
    template <class Mem>
    void* take_head(RBNode* node, Mem& mem) {
        void* block = node->block_obj;
        --node_count;
        if (LaterBlocks* later = node->later) {
            node->block_obj = later->items[--later->count];  // the newest: second in order
            if (later->count == 0) release_later(node, mem);
            return block;
        }
        delete_node(node);
        unindex(node);
        --size_count;
        arena.free(node);
        return block;
    }

    // Removes and returns the block at chain position p >= 1 of `node`.
    template <class Mem>
    void* take_at(RBNode* node, uint64_t p, Mem& mem) {
        LaterBlocks* later = node->later;
        const uint64_t i = later->count - p;
        void* block = later->items[i];
        for (uint64_t j = i + 1; j < later->count; ++j) later->items[j - 1] = later->items[j];
        --later->count;
        --node_count;
        if (later->count == 0) release_later(node, mem);
        return block;
    }

    // Empties the tree and hands back its nodes; free them with free_detached().
    DetachedTree detach() {
        DetachedTree d{root, arena, buckets};
        root = nullptr;
        node_count = 0;
        arena = NodeArena{};
        buckets = nullptr;
        size_count = 0;
        bucket_shift = 0;
        return d;
    }

    // Tree nodes on the longest root-to-leaf path; chains add nothing. Recursion depth = height.
    static int32_t height(const RBNode* n) {
        if (n == nullptr) return 0;
        const int32_t l = height(n->left), r = height(n->right);
        return 1 + (l > r ? l : r);
    }

    // Calls f(block) for every stored block, node by node in size order, each chain head first;
    // stops at the first non-zero result and returns it. Walks by parent links: no recursion, no
    // allocation, and f must not change the tree.
    template <class F>
    int for_each_block(F&& f) const {
        const RBNode* n = root;
        if (n == nullptr) return 0;
        while (n->left != nullptr) n = n->left;
        while (n != nullptr) {
            if (const int r = f(n->block_obj)) return r;
            if (const LaterBlocks* later = n->later) {
                for (uint32_t i = 0; i < later->count; ++i) {
                    if (const int r = f(later->items[i])) return r;
                }
            }
            if (n->right != nullptr) {
                n = n->right;
                while (n->left != nullptr) n = n->left;
            } else {
                const RBNode* from = n;
                n = n->parent;
                while (n != nullptr && from == n->right) {
                    from = n;
                    n = n->parent;
                }
            }
        }
        return 0;
    }

    // Calls f(size, blocks of that size) for every tree node in pre-order (root first).
    template <class F>
    static void for_each_preorder(const RBNode* n, F& f) {
        while (n != nullptr) {
            f(n->size, n->chain_length());
            for_each_preorder(n->left, f);
            n = n->right;  // the right subtree last: a loop instead of a tail call
        }
    }

private:
    void unindex(RBNode* node) {
        if (buckets == nullptr) return;
        RBNode** link = &buckets[bucket_of(node->size, bucket_shift)];
        while (*link != node) link = &(*link)->hash_next;
        *link = node->hash_next;
    }

    // A fresh index sized for the current nodes, filled from the tree. When memory runs out the
    // old index (complete, or absent) stays.
    template <class Mem>
    void rebuild_index(Mem& mem) {
        uint32_t bits = kMinBucketBits;
        while ((uint64_t{1} << bits) * kMaxLoad < size_count && bits < 62) ++bits;
        const uint64_t capacity = uint64_t{1} << bits;
        void* raw = mem.alloc(capacity * sizeof(RBNode*));
        if (raw == nullptr) return;
        RBNode** fresh = static_cast<RBNode**>(raw);
        for (uint64_t i = 0; i < capacity; ++i) fresh[i] = nullptr;
        const uint32_t shift = 64 - bits;
        // In-order walk through the parent links: constant stack.
        RBNode* n = root != nullptr ? minimum(root) : nullptr;
        while (n != nullptr) {
            RBNode** head = &fresh[bucket_of(n->size, shift)];
            n->hash_next = *head;
            *head = n;
            if (n->right != nullptr) {
                n = minimum(n->right);
            } else {
                RBNode* up = n->parent;
                while (up != nullptr && n == up->right) {
                    n = up;
                    up = up->parent;
                }
                n = up;
            }
        }
        mem.free(buckets);
        buckets = fresh;
        bucket_shift = shift;
    }

    template <class Mem>
    bool append_later(RBNode* n, void* block, Mem& mem) {
        const uint64_t count = n->later_count();
        if (count == UINT32_MAX) return false;
        if (count == 0 || count == n->later->capacity) {  // full: grow
            const uint64_t capacity = count == 0 ? 3 : count * 2 + 1;
            if (capacity > UINT32_MAX) return false;
            void* grown = mem.realloc(n->later, sizeof(LaterBlocks) + capacity * sizeof(void*));
            if (grown == nullptr) return false;
            n->later = static_cast<LaterBlocks*>(grown);
            n->later->count = static_cast<uint32_t>(count);
            n->later->capacity = static_cast<uint32_t>(capacity);
        }
        n->later->items[count] = block;
        n->later->count = static_cast<uint32_t>(count + 1);
        ++node_count;
        return true;
    }

    template <class Mem>
    static void release_later(RBNode* n, Mem& mem) {
        mem.free(n->later);
        n->later = nullptr;
    }

    void rotate_left(RBNode* x) {
        RBNode* y = x->right;
        x->right = y->left;
        if (y->left != nullptr) y->left->parent = x;
        y->parent = x->parent;
        if (x->parent == nullptr) {
            root = y;
        } else if (x == x->parent->left) {
            x->parent->left = y;
        } else {
            x->parent->right = y;
        }
        y->left = x;
        x->parent = y;
    }

    void rotate_right(RBNode* x) {
        RBNode* y = x->left;
        x->left = y->right;
        if (y->right != nullptr) y->right->parent = x;
        y->parent = x->parent;
        if (x->parent == nullptr) {
            root = y;
        } else if (x == x->parent->right) {
            x->parent->right = y;
        } else {
            x->parent->left = y;
        }
        y->right = x;
        x->parent = y;
    }

    void transplant(RBNode* u, RBNode* v) {
        if (u->parent == nullptr) {
            root = v;
        } else if (u == u->parent->left) {
            u->parent->left = v;
        } else {
            u->parent->right = v;
        }
        if (v != nullptr) v->parent = u->parent;
    }

    void fixup_insert(RBNode* z) {
        while (is_red(z->parent)) {
            RBNode* p = z->parent;
            RBNode* g = p->parent;  // a red node is never the root
            if (p == g->left) {
                RBNode* u = g->right;
                if (is_red(u)) {
                    p->set_color(Color::BLACK);
                    u->set_color(Color::BLACK);
                    g->set_color(Color::RED);
                    z = g;
                    continue;
                }
                if (z == p->right) {
                    z = p;
                    rotate_left(z);
                }
                z->parent->set_color(Color::BLACK);
                z->parent->parent->set_color(Color::RED);
                rotate_right(z->parent->parent);
            } else {
                RBNode* u = g->left;
                if (is_red(u)) {
                    p->set_color(Color::BLACK);
                    u->set_color(Color::BLACK);
                    g->set_color(Color::RED);
                    z = g;
                    continue;
                }
                if (z == p->left) {
                    z = p;
                    rotate_right(z);
                }
                z->parent->set_color(Color::BLACK);
                z->parent->parent->set_color(Color::RED);
                rotate_left(z->parent->parent);
            }
        }
        root->set_color(Color::BLACK);
    }

    // Removes tree node z (its chain is empty) and restores the rules. z is not freed.
    void delete_node(RBNode* z) {
        Color removed = z->color();
        RBNode* x;
        RBNode* x_parent;  // where x sits, also when x is a missing (black) leaf
        if (z->left == nullptr) {
            x = z->right;
            x_parent = z->parent;
            transplant(z, z->right);
        } else if (z->right == nullptr) {
            x = z->left;
            x_parent = z->parent;
            transplant(z, z->left);
        } else {
            RBNode* y = minimum(z->right);
            removed = y->color();
            x = y->right;
            if (y->parent == z) {
                x_parent = y;
            } else {
                x_parent = y->parent;
                transplant(y, y->right);
                y->right = z->right;
                y->right->parent = y;
            }
            transplant(z, y);
            y->left = z->left;
            y->left->parent = y;
            y->set_color(z->color());
        }
        if (removed == Color::BLACK) fixup_delete(x, x_parent);
    }

    void fixup_delete(RBNode* x, RBNode* parent) {
        while (x != root && is_black(x)) {
            if (x == parent->left) {
                RBNode* w = parent->right;  // exists: x's side is one black short
                if (is_red(w)) {
                    w->set_color(Color::BLACK);
                    parent->set_color(Color::RED);
                    rotate_left(parent);
                    w = parent->right;
                }
                if (is_black(w->left) && is_black(w->right)) {
                    w->set_color(Color::RED);
                    x = parent;
                    parent = x->parent;
                } else {
                    if (is_black(w->right)) {
                        w->left->set_color(Color::BLACK);
                        w->set_color(Color::RED);
                        rotate_right(w);
                        w = parent->right;
                    }
                    w->set_color(parent->color());
                    parent->set_color(Color::BLACK);
                    w->right->set_color(Color::BLACK);
                    rotate_left(parent);
                    x = root;
                    parent = nullptr;
                }
            } else {
                RBNode* w = parent->left;
                if (is_red(w)) {
                    w->set_color(Color::BLACK);
                    parent->set_color(Color::RED);
                    rotate_right(parent);
                    w = parent->left;
                }
                if (is_black(w->left) && is_black(w->right)) {
                    w->set_color(Color::RED);
                    x = parent;
                    parent = x->parent;
                } else {
                    if (is_black(w->left)) {
                        w->right->set_color(Color::BLACK);
                        w->set_color(Color::RED);
                        rotate_left(w);
                        w = parent->left;
                    }
                    w->set_color(parent->color());
                    parent->set_color(Color::BLACK);
                    w->left->set_color(Color::BLACK);
                    rotate_right(parent);
                    x = root;
                    parent = nullptr;
                }
            }
        }
        if (x != nullptr) x->set_color(Color::BLACK);
    }
};

// Frees a detached tree and hands every block to release(block), in post-order (left subtree,
// right subtree, then the node; per node the chain members after the head in chain order, then
// the head). Iterative, constant stack: it unhooks children on the way down and climbs back
// through the parent links. release() may run arbitrary code, including calls on the tree this one
// was detached from; the detached nodes are private to this walk, and their memory goes back to
// the system at the end.
template <class Mem, class Release>
void free_detached(DetachedTree& d, Mem& mem, Release&& release) {
    RBNode* n = d.root;
    d.root = nullptr;
    while (n != nullptr) {
        if (n->left != nullptr) {
            RBNode* c = n->left;
            n->left = nullptr;
            n = c;
        } else if (n->right != nullptr) {
            RBNode* c = n->right;
            n->right = nullptr;
            n = c;
        } else {
            RBNode* up = n->parent;
            LaterBlocks* later = n->later;
            n->later = nullptr;
            if (later != nullptr) {
                uint64_t count = later->count;
                while (count != 0) release(later->items[--count]);
                mem.free(later);
            }
            release(n->block_obj);
            n = up;
        }
    }
    d.arena.release(mem);
    mem.free(d.buckets);
    d.buckets = nullptr;
}

}  // namespace block_index::core
