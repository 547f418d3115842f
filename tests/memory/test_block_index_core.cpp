// Randomised check of the pure tree core against std::map, with every structural invariant
// verified after each step. Built and run by test_block_index_core.py.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "velkora/memory/block_index_core.hpp"

using block_index::core::Color;
using block_index::core::RBNode;
using block_index::core::RBTree;

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::exit(1);                                                    \
        }                                                                    \
    } while (0)

using Model = std::map<uint64_t, std::vector<long>>;  // size -> blocks in chain order

static long id_of(const void* b) { return static_cast<long>(reinterpret_cast<intptr_t>(b)); }
static void* as_block(long id) { return reinterpret_cast<void*>(static_cast<intptr_t>(id)); }

// Counts live allocations; can be told to fail.
struct Mem {
    long live = 0;
    bool fail = false;
    void* alloc(std::size_t n) {
        if (fail) return nullptr;
        ++live;
        return std::malloc(n);
    }
    void* realloc(void* p, std::size_t n) {
        if (fail) return nullptr;
        if (p == nullptr) ++live;
        return std::realloc(p, n);
    }
    void free(void* p) {
        if (p != nullptr) --live;
        std::free(p);
    }
};

// Returns the black height; checks order, parent links, colours and chains.
static int verify(const RBNode* n, const RBNode* parent, const uint64_t* lo, const uint64_t* hi,
                  const Model& model, uint64_t& records, int depth, int& max_depth) {
    if (n == nullptr) return 1;
    CHECK(n->parent == parent);
    CHECK(lo == nullptr || n->size > *lo);
    CHECK(hi == nullptr || n->size < *hi);
    if (n->color() == Color::RED) {
        CHECK(RBTree::is_black(n->left) && RBTree::is_black(n->right));
    }
    auto it = model.find(n->size);
    CHECK(it != model.end());
    CHECK(n->chain_length() == it->second.size());
    CHECK(n->later == nullptr || (n->later->count != 0 && n->later->count <= n->later->capacity));
    CHECK(reinterpret_cast<uintptr_t>(n) % 64 == 0);
    for (std::size_t i = 0; i < it->second.size(); ++i) {
        CHECK(id_of(n->chain_at(i)) == it->second[i]);
        ++records;
    }
    if (depth > max_depth) max_depth = depth;
    const int l = verify(n->left, n, lo, &n->size, model, records, depth + 1, max_depth);
    const int r = verify(n->right, n, &n->size, hi, model, records, depth + 1, max_depth);
    CHECK(l == r);
    return l + (n->color() == Color::BLACK ? 1 : 0);
}

static void verify_tree(const RBTree& t, const Model& model) {
    uint64_t records = 0;
    int max_depth = 0;
    CHECK(RBTree::is_black(t.root));
    verify(t.root, nullptr, nullptr, nullptr, model, records, 1, max_depth);
    uint64_t expected = 0;
    for (auto& [size, blocks] : model) expected += blocks.size();
    CHECK(records == expected);
    CHECK(t.node_count == expected);
    CHECK(RBTree::height(t.root) == (t.root ? max_depth : 0));
    // Red-black bound: height <= 2 log2(n + 1) for n tree nodes.
    double n = static_cast<double>(model.size());
    int bound = 0;
    while ((1ull << bound) < n + 1) ++bound;  // ceil(log2(n + 1))
    CHECK(RBTree::height(t.root) <= 2 * bound);
    // Pre-order distribution matches the model.
    std::size_t seen = 0;
    auto f = [&](uint64_t size, uint64_t count) {
        ++seen;
        CHECK(model.at(size).size() == count);
    };
    RBTree::for_each_preorder(t.root, f);
    CHECK(seen == model.size());
    // The block walk the collector uses visits every stored block once (as a multiset), and
    // stops when told to.
    std::map<long, long> visits, stored;
    for (auto& [size, blocks] : model) {
        for (long b : blocks) ++stored[b];
    }
    CHECK(t.for_each_block([&](void* b) { ++visits[id_of(b)]; return 0; }) == 0);
    CHECK(visits == stored);
    if (expected > 0) {
        long calls = 0;
        CHECK(t.for_each_block([&](void*) { return ++calls == 1 ? 7 : 0; }) == 7 && calls == 1);
    }
    // Exact lookups (through the size index) find every present size, and its chain.
    for (auto& [size, blocks] : model) {
        const RBNode* node = t.find_node(size);
        CHECK(node != nullptr && node->size == size && node->chain_length() == blocks.size());
        CHECK(id_of(node->chain_at(0)) == blocks.front());
    }
}

int main(int argc, char** argv) {
    const unsigned seed = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1u;
    std::mt19937_64 rng(seed);
    RBTree t{};
    Mem mem;
    Model model;
    long next_id = 1;
    uint64_t live = 0;
    for (int step = 0; step < 20000; ++step) {
        const uint64_t key_space = step < 10000 ? 64 : 2000;
        const uint64_t size = rng() % key_space;
        const int op = static_cast<int>(rng() % 10);
        if (op < 5) {  // insert: a new block becomes the second chain member
            if (rng() % 64 == 0) {  // out of memory: either it fits, or nothing changes
                mem.fail = true;
                const bool present = model.count(size) != 0;
                const uint64_t later = present ? model[size].size() - 1 : 0;
                const RBNode* before = present ? t.find_node(size) : nullptr;
                const bool array_grows = later == 0 || before->later->capacity == later;
                const bool ok = t.insert(size, as_block(next_id), mem);
                mem.fail = false;
                if (present) CHECK(ok == !array_grows);
                if (ok) {  // undo it: the new block is the head of a new node, or second in line
                    RBNode* node = t.find_node(size);
                    void* b = present ? t.take_at(node, 1, mem) : t.take_head(node, mem);
                    CHECK(id_of(b) == next_id);
                }
                verify_tree(t, model);
                continue;
            }
            CHECK(t.insert(size, as_block(next_id), mem));
            auto& chain = model[size];
            chain.insert(chain.size() < 1 ? chain.end() : chain.begin() + 1, next_id);
            ++next_id;
            ++live;
        } else if (op < 7) {  // remove the head of the best fit
            RBNode* node = t.find_best_fit_node(size);
            auto it = model.lower_bound(size);
            CHECK((node == nullptr) == (it == model.end()));
            if (node != nullptr) {
                CHECK(node->size == it->first);
                CHECK(id_of(t.take_head(node, mem)) == it->second.front());
                it->second.erase(it->second.begin());
                if (it->second.empty()) model.erase(it);
                --live;
            }
        } else if (op < 9) {  // remove a chain member or the head, chosen at random
            RBNode* node = t.find_node(size);
            auto it = model.find(size);
            CHECK((node == nullptr) == (it == model.end()));
            if (node != nullptr) {
                const std::size_t k = rng() % it->second.size();
                void* block = k == 0 ? t.take_head(node, mem) : t.take_at(node, k, mem);
                CHECK(id_of(block) == it->second[k]);
                it->second.erase(it->second.begin() + static_cast<long>(k));
                if (it->second.empty()) model.erase(it);
                --live;
            }
        } else if (rng() % 50 == 0) {  // occasionally clear everything
            uint64_t released = 0;
            { auto d = t.detach(); block_index::core::free_detached(d, mem, [&](void*) { ++released; }); }
            CHECK(released == live && mem.live == 0);
            model.clear();
            live = 0;
        }
        verify_tree(t, model);
        CHECK((t.find_node(size) == nullptr) == (model.count(size) == 0));
    }
    // Ascending insertion of 1000 distinct sizes keeps the bound (19).
    // Release order: per node, the chain after the head in chain order, then the head.
    {
        RBTree one{};
        for (long id = 1; id <= 6; ++id) CHECK(one.insert(5, as_block(id), mem));
        std::vector<long> order;
        { auto d = one.detach(); block_index::core::free_detached(d, mem, [&](void* b) { order.push_back(id_of(b)); }); }
        CHECK((order == std::vector<long>{6, 5, 4, 3, 2, 1}));
    }
    { auto d = t.detach(); block_index::core::free_detached(d, mem, [](void*) {}); }
    CHECK(mem.live == 0);
    model.clear();
    for (uint64_t s = 0; s < 1000; ++s) {
        CHECK(t.insert(s, as_block(1), mem));
        model[s].push_back(1);
    }
    verify_tree(t, model);
    CHECK(RBTree::height(t.root) <= 19);
    uint64_t released = 0;
    { auto d = t.detach(); block_index::core::free_detached(d, mem, [&](void*) { ++released; }); }
    CHECK(released == 1000 && mem.live == 0);
    std::puts("ok");
    return 0;
}
