// Enumerators over a snapshot taken when they are made (IEnumConnections, IEnumConnectionPoints): later
// changes of the source do not show, and every interface they hold keeps a reference.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <new>
#include <vector>

namespace tavo::com {

inline void AddItemRef(IConnectionPoint* item) { item->AddRef(); }
inline void ReleaseItem(IConnectionPoint* item) { item->Release(); }
inline void AddItemRef(const CONNECTDATA& item) { item.pUnk->AddRef(); }
inline void ReleaseItem(const CONNECTDATA& item) { item.pUnk->Release(); }

template <class Enum, class Item, const IID* EnumIid>
class SnapshotEnum : public Enum {
  public:
    // Takes a reference on every item; gives null when out of memory.
    static SnapshotEnum* Create(const std::vector<Item>& items, size_t position = 0) {
        auto* created = new (std::nothrow) SnapshotEnum();
        if (!created) return nullptr;
        try {
            created->m_items = items;
        } catch (...) {
            delete created;
            return nullptr;
        }
        for (const Item& item : created->m_items) AddItemRef(item);
        created->m_position = position;
        return created;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, *EnumIid)) {
            *object = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = --m_refs;
        if (refs == 0) delete this;
        return refs;
    }

    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override {
        if (!items || (count > 1 && !fetched)) return E_POINTER;
        ULONG done = 0;
        while (done < count && m_position < m_items.size()) {
            items[done] = m_items[m_position++];
            AddItemRef(items[done]);
            ++done;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = m_items.size() - m_position;
        if (count > left) {
            m_position = m_items.size();
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** clone) override {
        if (!clone) return E_POINTER;
        *clone = Create(m_items, m_position);
        return *clone ? S_OK : E_OUTOFMEMORY;
    }

  private:
    SnapshotEnum() = default;
    virtual ~SnapshotEnum() {
        for (const Item& item : m_items) ReleaseItem(item);
    }

    std::atomic<LONG> m_refs{1};
    std::vector<Item> m_items;
    size_t m_position = 0;
};

using ConnectionsEnum = SnapshotEnum<IEnumConnections, CONNECTDATA, &IID_IEnumConnections>;
using ConnectionPointsEnum =
    SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, &IID_IEnumConnectionPoints>;

}  // namespace tavo::com
