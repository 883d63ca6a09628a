#include "port/qp_port_component.h"

#include <algorithm>

namespace quodra::port {

namespace {
void Erase(std::vector<TQpBaseComponent*>& list, TQpBaseComponent* c) {
  list.erase(std::remove(list.begin(), list.end(), c), list.end());
}
}  // namespace

TQpBaseComponent::TQpBaseComponent(TQpBaseComponent* owner) {
  if (owner) owner->InsertOwned(this);
}

TQpBaseComponent::~TQpBaseComponent() {
  AnnounceRemoval();
  // Owned components go with their owner, newest first.
  while (!Owned.empty()) {
    TQpBaseComponent* c = Owned.back();
    Owned.pop_back();
    c->OwnerComp = nullptr;
    delete c;
  }
  if (OwnerComp) OwnerComp->RemoveOwned(this);
}

void TQpBaseComponent::EndLoading() {
  if (!IsLoading) return;
  IsLoading = false;
  Loaded();
}

void TQpBaseComponent::FreeNotification(TQpBaseComponent* other) {
  if (!other || other == this) return;
  if (std::find(other->Watchers.begin(), other->Watchers.end(), this) == other->Watchers.end()) {
    other->Watchers.push_back(this);
    Watched.push_back(other);
  }
}

void TQpBaseComponent::RemoveFreeNotification(TQpBaseComponent* other) {
  if (!other) return;
  Erase(other->Watchers, this);
  Erase(Watched, other);
}

void TQpBaseComponent::AnnounceRemoval() {
  if (RemovalAnnounced) return;
  RemovalAnnounced = true;
  // Stop watching others first, so nobody calls back into a half-destroyed object.
  for (TQpBaseComponent* w : Watched) Erase(w->Watchers, this);
  Watched.clear();
  // Copies: a notified component may unsubscribe or free others meanwhile.
  std::vector<TQpBaseComponent*> hearers = Watchers;
  if (OwnerComp) {
    for (TQpBaseComponent* c : OwnerComp->Owned)
      if (c != this && std::find(hearers.begin(), hearers.end(), c) == hearers.end()) hearers.push_back(c);
    if (std::find(hearers.begin(), hearers.end(), OwnerComp) == hearers.end()) hearers.push_back(OwnerComp);
  }
  for (TQpBaseComponent* h : hearers) {
    bool stillThere = std::find(Watchers.begin(), Watchers.end(), h) != Watchers.end() ||
                      (OwnerComp && (h == OwnerComp || std::find(OwnerComp->Owned.begin(), OwnerComp->Owned.end(), h) !=
                                                           OwnerComp->Owned.end()));
    if (stillThere) h->Notification(this, opRemove);
  }
  for (TQpBaseComponent* w : Watchers) Erase(w->Watched, this);
  Watchers.clear();
}

void TQpBaseComponent::InsertOwned(TQpBaseComponent* c) {
  Owned.push_back(c);
  c->OwnerComp = this;
}

void TQpBaseComponent::AnnounceInsertion() {
  if (!OwnerComp) return;
  TQpBaseComponent* owner = OwnerComp;
  std::vector<TQpBaseComponent*> hearers = owner->Owned;
  owner->Notification(this, opInsert);
  for (TQpBaseComponent* h : hearers)
    if (h != this && std::find(owner->Owned.begin(), owner->Owned.end(), h) != owner->Owned.end())
      h->Notification(this, opInsert);
}

void TQpBaseComponent::RemoveOwned(TQpBaseComponent* c) {
  Erase(Owned, c);
  c->OwnerComp = nullptr;
}

}  // namespace quodra::port
