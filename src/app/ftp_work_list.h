#pragma once
// The directory list as the FTP walk's work list. It holds the last listing, shows it in the
// window's directory list, and gives out its entries: a plain name is looked up by name, a
// mask takes the next entry it matches. Every step costs the same however long the listing
// is: taken entries are only marked, a search by the same mask goes on where it stopped, and
// the view drops taken rows in batches.
#include <QTimer>
#include <string>
#include <unordered_map>
#include <vector>

class QListWidget;

class TFtpWorkList {
 public:
  static constexpr const char* kStartMarker = "<Start>";
  static constexpr const char* kEndMarker = "<End>";

  explicit TFtpWorkList(QListWidget& view);

  // The listing's names, shown between the start and end markers; a new listing replaces
  // the old one and every mask search starts again from its top.
  void Fill(const std::vector<std::string>& names);
  void Clear();
  // Whether an entry not taken yet has this name (letter case aside); the markers count.
  bool Contains(const std::string& name) const;
  // Takes the next entry not taken yet that the mask matches (upper-cased on both sides;
  // the markers never match); "" when none is left.
  std::string TakeMatch(const std::string& mask);
  // Takes the first entry not taken yet with this name (letter case aside), as a fresh
  // listing after its deletion would no longer hold it; nothing when there is none.
  void Remove(const std::string& name);
  // Takes the rows of taken entries out of the view now (otherwise it happens shortly after).
  void Flush();
  size_t Size() const { return Entries.size(); }

 private:
  enum class TState { Listed, Taken, Gone };  // Taken: still shown, Gone: out of the view
  struct TEntry {
    std::string Name, Upper;
    TState State = TState::Listed;
  };

  QListWidget& View;
  QTimer FlushTimer;
  std::vector<TEntry> Entries;
  std::unordered_map<std::string, int> Listed;       // upper-cased name: entries not taken
  std::unordered_map<std::string, size_t> MaskFrom;  // upper-cased mask: where its search goes on
  size_t TakenShown = 0;                              // entries taken but still in the view
};
