// The settings store of a window: its placement and chosen properties of its controls, kept in
// one section of a profile (INI) file, restored when the window is shown and written when it
// closes.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QMetaProperty;

enum TPlacementOption : unsigned {
    fpState = 1,
    fpPosition = 2,
    fpActiveControl = 4,
};
using TPlacementOptions = unsigned;  // an or-ed set of TPlacementOption

class TFormPlacement;
using TPlacementEvent = std::function<void(TFormPlacement* Sender)>;

// The failed-write message of the store, with the file's name in place of %s.
std::string CannotWriteText(const std::string& fileName);

class TFormPlacement : public QObject {
    Q_OBJECT
public:
    // `owner` is the window whose placement is kept; it must outlive this component.
    explicit TFormPlacement(QWidget* owner);
    ~TFormPlacement() override;
    TFormPlacement(const TFormPlacement&) = delete;
    TFormPlacement& operator=(const TFormPlacement&) = delete;

    // Published properties.
    bool Active = true;
    std::string IniSection;  // empty: the owner window's class name
    TPlacementOptions Options = fpState | fpPosition;
    bool UseRegistry = false;  // kept for the stored design; the profile file is always used
    int Version = 0;
    TPlacementEvent OnSavePlacement;
    TPlacementEvent OnRestorePlacement;

    // Empty means the program file's name with the extension ".INI", without a folder.
    std::string IniFileName() const;
    void SetIniFileName(const std::string& fileName) { iniFileName_ = fileName; }
    // IniSection, or the owner's class name when it is empty.
    std::string SectionName() const;

    bool Restored() const { return restored_; }
    bool Saved() const { return saved_; }
    bool Destroying() const { return destroying_; }

    // The owner has finished loading: take over its show and close events.
    virtual void Loaded();

    void RestoreFormPlacement();
    void SaveFormPlacement();

    // The key of the screen-dependent position values, e.g. "NormPos(1920x1080)".
    static std::string ScreenKey(const std::string& key);
    static int CurrentPixelsPerInch();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    QWidget* Owner() const { return owner_; }

    // The save of a window that is destroyed without having saved at its close; every store's
    // destructor calls it, so that the most derived one saves its own part too.
    void OwnerDestroying();

    // Hooks for what a derived store keeps beside the placement.
    virtual void RestoreStoredState() {}
    virtual void SaveStoredState() {}

    std::string ReadString(const std::string& key, const std::string& defaultValue) const;
    int ReadInteger(const std::string& key, int defaultValue) const;
    // Collects a key of the save in progress; the save writes them all to the file at once.
    void WriteString(const std::string& key, const std::string& value);

private:
    void RestorePlacement();
    void RestorePosition();
    std::string ReadPosition(const std::string& key) const;
    void RestoreShowState();
    void KeepFrameOnScreen();
    static constexpr int FrameLooks = 40;  // 50 ms apart
    void WatchForFrame(int looksLeft);
    void SavePlacement();
    void OwnerShowing();
    bool OwnerClosing(QEvent* event);
    // Raises Exception with CannotWriteText when the file cannot be written.
    void WritePending();

    QPointer<QWidget> owner_;
    std::string iniFileName_;
    std::vector<std::pair<std::string, std::string>> pending_;
    // The usable screen area while a restored position waits for the window's frame.
    std::optional<QRect> usableArea_;
    bool attached_ = false;
    bool restored_ = false;
    bool saved_ = false;
    bool destroying_ = false;
    bool closeSaveTried_ = false;
};

// One "Component.Property" entry of a storage with the component it names.
struct TStoredProp {
    std::string Entry;
    QPointer<QObject> Component;
};

// A named value kept beside the properties.
struct TStoredValue {
    std::string Name;
    std::string Value;
};

class TFormStorage : public TFormPlacement {
    Q_OBJECT
public:
    explicit TFormStorage(QWidget* owner);
    ~TFormStorage() override;

    std::vector<TStoredProp> StoredProps;
    std::vector<TStoredValue> StoredValues;

    // Adds a "Component.Property" entry; its component is found when the owner has loaded.
    void AddStoredProp(const std::string& entry);
    void Loaded() override;

    // The property of `component` named `name` without regard to case (invalid when none).
    static QMetaProperty FindProperty(const QObject* component, const std::string& name);
    // The settings key of an entry: component name, "_", property name.
    static std::string StoredKey(const QObject* component, const QMetaProperty& property);
    // A property's value in its stored text form, and the reverse; false when the property's
    // type has no text form or the text names no value of it.
    static bool PropertyText(const QObject* component, const QMetaProperty& property,
                             std::string& text);
    static bool SetPropertyText(QObject* component, const QMetaProperty& property,
                                const std::string& text);

protected:
    void RestoreStoredState() override;
    void SaveStoredState() override;
    // Sets the StoredProps entries from the file; a store that reads its owner's entries by
    // rules of its own replaces this.
    virtual void RestoreProperties();

private:
    void SaveProperties();
};
