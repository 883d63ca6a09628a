#pragma once
// The component base of the port library: an owner that frees what it owns, a name, the
// loading and design flags, and removal / insertion notices.
//
// Notices: a component whose arrival matters to its siblings calls AnnounceInsertion() at the
// end of its constructor (once it is whole), and every component of the same owner (and the
// owner itself) hears opInsert. When a component is destroyed, its owner's components and
// every component that asked through FreeNotification hear opRemove, so nobody keeps a
// pointer to it.
#include <string>
#include <vector>

namespace quodra::port {

enum TOperation { opInsert, opRemove };

class TQpBaseComponent {
 public:
  explicit TQpBaseComponent(TQpBaseComponent* owner = nullptr);
  virtual ~TQpBaseComponent();
  TQpBaseComponent(const TQpBaseComponent&) = delete;
  TQpBaseComponent& operator=(const TQpBaseComponent&) = delete;

  // Always "v1.00"; writes are ignored.
  std::string Version() const { return "v1.00"; }
  void SetVersion(const std::string&) {}

  TQpBaseComponent* Owner() const { return OwnerComp; }
  const std::vector<TQpBaseComponent*>& Components() const { return Owned; }
  const std::string& Name() const { return CompName; }
  void SetName(const std::string& name) { CompName = name; }

  // Loading from a stored form: setters only record values until Loaded() runs.
  bool Loading() const { return IsLoading; }
  void BeginLoading() { IsLoading = true; }
  void EndLoading();  // clears the flag and calls Loaded()
  bool Designing() const { return IsDesigning; }
  void SetDesigning(bool on) { IsDesigning = on; }

  // Ask to hear opRemove when `other` is destroyed.
  void FreeNotification(TQpBaseComponent* other);
  void RemoveFreeNotification(TQpBaseComponent* other);

 protected:
  virtual void Loaded() {}
  virtual void Notification(TQpBaseComponent* component, TOperation operation) {}
  // Tells the owner and its other components that this one has arrived.
  void AnnounceInsertion();
  // Tells the owner's components and the free-notification list that this component goes.
  // Descendants whose removal must be seen while they are still whole call it early in their
  // own destructor; the base destructor calls it again (a second call does nothing).
  void AnnounceRemoval();

 private:
  void InsertOwned(TQpBaseComponent* c);
  void RemoveOwned(TQpBaseComponent* c);

  TQpBaseComponent* OwnerComp = nullptr;
  std::vector<TQpBaseComponent*> Owned;
  std::vector<TQpBaseComponent*> Watchers;  // hear opRemove of this one
  std::vector<TQpBaseComponent*> Watched;   // this one hears their opRemove
  std::string CompName;
  bool IsLoading = false;
  bool IsDesigning = false;
  bool RemovalAnnounced = false;
};

}  // namespace quodra::port
