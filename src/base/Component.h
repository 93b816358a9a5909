#pragma once
// Object base with owner-managed lifetime: an owner releases the components it
// owns when it is released. Release goes through Free() so that a class can run
// virtual clean-up (BeforeDestruction) while its whole object is still alive,
// which a C++ destructor cannot do.
#include <memory>
#include <string>
#include <vector>

namespace lumbra {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  // Called by Free() before the destructor; overrides must call the base.
  virtual void BeforeDestruction() {}

  // Releases obj (null is fine): BeforeDestruction, then delete.
  static void Free(TObject* obj);
};

struct FreeDeleter {
  void operator()(TObject* obj) const { TObject::Free(obj); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return fOwner; }
  const std::vector<TComponent*>& Components() const { return fComponents; }
  std::string Name;

  void BeforeDestruction() override;

 private:
  void Insert(TComponent* c);
  void Remove(TComponent* c);
  TComponent* fOwner;
  std::vector<TComponent*> fComponents;
};

}  // namespace lumbra
