// Pointer lists: a NULL-terminated slot array with its ap_head in front of it,
// in one allocation, so a list passes anywhere a plain pointer array does.
#include <cstdlib>
#include <cstring>

#include "support/ss.h"

namespace ss {

namespace {

ap_head *head_of_block(APLIST ap) {
    return reinterpret_cast<ap_head *>(reinterpret_cast<char *>(ap) - sizeof(ap_head));
}

} // namespace

APLIST ap_create(int no_items, PTF_int proc_destroy) {
    if (no_items <= 0) no_items = 1;
    std::size_t slots = static_cast<std::size_t>(no_items) + 1;
    void *block = std::calloc(1, sizeof(ap_head) + slots * sizeof(void *));
    if (block == nullptr) return nullptr;
    auto *h = static_cast<ap_head *>(block);
    APLIST ap = reinterpret_cast<APLIST>(static_cast<char *>(block) + sizeof(ap_head));
    for (std::size_t i = 0; i < slots; i++) ap[i] = nullptr;
    h->obj_start = ap;
    h->no_items = 0;
    h->max_obj = no_items;
    h->cur_obj = 0;
    h->obj_destroy = proc_destroy;
    h->obj_links = proc_destroy == nullptr ? 1 : 0;
    h->obj_dup = nullptr;
    h->magic = AP_MAGIC;
    return ap;
}

ap_head *ap_tohead(APLIST ap) {
    if (ap == nullptr) return nullptr;
    ap_head *h = head_of_block(ap);
    return h->magic == AP_MAGIC ? h : nullptr;
}

int ap_len(APLIST ap) {
    if (ap == nullptr) return 0;
    ap_head *h = ap_tohead(ap);
    if (h != nullptr && h->no_items != 0) return h->no_items;
    int n = 0;
    while (ap[n] != nullptr) n++;
    if (h != nullptr) h->no_items = n;
    return n;
}

APLIST ap_expand(APLIST ap, int incr) {
    if (ap == nullptr) return nullptr;
    int cnt = ap_len(ap);
    APLIST grown = ap_create(cnt + incr, nullptr);
    if (grown == nullptr) return nullptr;
    for (int i = 0; i < cnt; i++) grown[i] = ap[i];
    if (ap_head *old = ap_tohead(ap); old != nullptr) {
        ap_head *h = ap_tohead(grown);
        h->no_items = old->no_items;
        h->cur_obj = old->cur_obj;
        h->obj_destroy = old->obj_destroy;
        h->obj_links = old->obj_links;
    }
    ap_del(ap);
    return grown;
}

int ap_add_item(APLIST *app, void *item) {
    if (app == nullptr || *app == nullptr) return -1;
    int len = ap_len(*app);
    ap_head *h = ap_tohead(*app);
    if (h == nullptr) return -1; // a bare array has no capacity to grow into
    if (len >= h->max_obj) {
        APLIST grown = ap_expand(*app, h->max_obj);
        if (grown == nullptr) return -1;
        *app = grown;
        h = ap_tohead(grown);
    }
    h->no_items++;
    (*app)[len + 1] = nullptr;
    (*app)[len] = item;
    return 0;
}

void ap_del(APLIST ap) {
    if (ap == nullptr) return;
    for (int i = 0; ap[i] != nullptr; i++) ap[i] = nullptr;
    if (ap_head *h = ap_tohead(ap); h != nullptr) {
        h->magic = 0;
        std::free(h);
    } else {
        std::free(ap);
    }
}

void ap_destroy(APLIST ap) {
    if (ap == nullptr) return;
    ap_head *h = ap_tohead(ap);
    if (h == nullptr) {
        for (int i = 0; ap[i] != nullptr; i++) {
            std::free(ap[i]);
            ap[i] = nullptr;
        }
    } else if (h->obj_links == 0 && h->obj_destroy != nullptr) {
        if (h->no_items > 0) {
            for (int i = 0; i < h->no_items; i++) {
                h->obj_destroy(ap[i]);
                ap[i] = nullptr;
            }
        } else {
            for (int i = 0; ap[i] != nullptr; i++) {
                h->obj_destroy(ap[i]);
                ap[i] = nullptr;
            }
        }
    }
    ap_del(ap);
}

} // namespace ss
