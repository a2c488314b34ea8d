// The editor's view on X11: FLTK widgets built from the form tables, in a borderless window
// reparented into the host's window. FLTK keeps its own display connection; its events, the
// clipboard requests and the 100 ms synchronisation pass are all served from the host's idle
// calls on the host's user-interface thread. Controls that carry state (check boxes, radio
// buttons) show what the model decides, never their own toggling.
#include "editor/editorhost.h"
#include "editor/optionsdialog.h"
#include "editor/scale.h"
#include "host/options.h"
#include "platform/notice.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Device.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Tooltip.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xresource.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>

// Xlib's macros that collide with the form's names.
#undef None
#undef Status

namespace {

using namespace editor;

constexpr int kTabRow = 22;  // the tab row at the bottom of the window
constexpr double kPassSeconds = 0.1;
constexpr Fl_Color kMenuBackground = FL_BACKGROUND_COLOR;

// The display connection stays open for the life of the module once a view opened it; the
// module's unloading closes it. The toolkit makes its display device and graphics driver when
// the module loads and never frees them: unloading frees them, or a host that loads and unloads
// the plug-in would lose them each time.
struct DisplayCloser {
    bool opened = false;
    ~DisplayCloser() {
        if (opened && fl_display) fl_close_display();
        Fl_Display_Device* device = Fl_Display_Device::display_device();
        Fl_Graphics_Driver* driver = device->driver();
        delete device;
        delete driver;
    }
} displayCloser;

// The view's own connection. It is handed to FLTK as it is, so the process's locale and its
// X error handlers (the host's) stay as they are.
bool openDisplay() {
    if (!fl_display) {
        Display* display = XOpenDisplay(nullptr);
        if (!display) return false;
        fl_open_display(display);
        displayCloser.opened = true;
        Fl::visible_focus(1);
        Fl_Tooltip::delay(0.6f);
    }
    return true;
}

// X errors on the view's own connection are dropped while a scope of this kind exists (the host
// may destroy its window before it closes the editor, taking ours with it); errors on other
// connections go on to the handler that was installed (the host's). The handler is the
// process's, so it is installed only around the view's own work on the user-interface thread.
XErrorHandler outerHandler = nullptr;

int viewErrorHandler(Display* display, XErrorEvent* event) {
    if (display == fl_display) return 0;
    return outerHandler ? outerHandler(display, event) : 0;
}

class ViewErrorScope {
public:
    ViewErrorScope() {
        XSync(fl_display, False);
        previous_ = XSetErrorHandler(&viewErrorHandler);
        outerHandler = previous_;
    }
    ~ViewErrorScope() {
        XSync(fl_display, False);
        XSetErrorHandler(previous_);
    }
    ViewErrorScope(const ViewErrorScope&) = delete;
    ViewErrorScope& operator=(const ViewErrorScope&) = delete;

private:
    XErrorHandler previous_ = nullptr;
};

// The display's Xft.dpi from the X resource database as it is now: the root window's property is
// read afresh at each open, since the copy Xlib took when the connection opened misses a later
// xrdb. None when the database or the resource is missing or no number.
std::optional<double> xftDpi() {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(fl_display, RootWindow(fl_display, 0), XA_RESOURCE_MANAGER, 0, 1L << 20,
                           False, XA_STRING, &type, &format, &count, &after, &data) != Success ||
        !data) {
        return std::nullopt;
    }
    const std::string text(reinterpret_cast<const char*>(data), format == 8 ? count : 0);
    XFree(data);
    XrmInitialize();
    XrmDatabase database = XrmGetStringDatabase(text.c_str());
    if (!database) return std::nullopt;
    char* kind = nullptr;
    XrmValue value{};
    std::optional<double> dpi;
    if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &kind, &value) && value.addr) {
        dpi = parseDpi(std::string_view(value.addr, ::strnlen(value.addr, value.size)));
    }
    XrmDestroyDatabase(database);
    return dpi;
}

// Labels are drawn literally: FLTK would take '&' as a shortcut mark and '@' as a symbol.
std::string literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&' || c == '@') out += c;
        out += c;
    }
    return out;
}

// The user's music folder: $XDG_MUSIC_DIR, the user-dirs file's entry, else the home folder.
std::string musicDirectory() {
    if (const char* dir = std::getenv("XDG_MUSIC_DIR"); dir && *dir) return dir;
    const char* home = std::getenv("HOME");
    const std::string homeDir = home && *home ? home : ".";
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::ifstream dirs((config && *config ? std::string(config) : homeDir + "/.config") +
                       "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_MUSIC_DIR=\"";
    while (std::getline(dirs, line)) {
        if (line.rfind(key, 0) != 0 || line.size() < key.size() + 1) continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.rfind("$HOME", 0) == 0) value = homeDir + value.substr(5);
        struct stat st {};
        if (::stat(value.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return value;
    }
    return homeDir;
}

class FltkView;
struct OptionsWindow;

// Frame lines as thick as the scale (1 pixel up to 125 %, 2 from 150 %): each box type the views
// use draws its frame again one pixel further in for each further pixel, and its insets grow to
// match. The box types are the toolkit's own, which is linked into this module and hidden, so no
// host's toolkit is touched. Drawn on the user-interface thread only.
struct BoxType {
    Fl_Boxtype type;
    Fl_Box_Draw_F* draw;
    int dx, dy, dw, dh;
};
std::array<BoxType, 8> boxTypes{{{FL_UP_BOX, nullptr, 0, 0, 0, 0},
                                 {FL_DOWN_BOX, nullptr, 0, 0, 0, 0},
                                 {FL_THIN_UP_BOX, nullptr, 0, 0, 0, 0},
                                 {FL_THIN_DOWN_BOX, nullptr, 0, 0, 0, 0},
                                 {FL_THIN_UP_FRAME, nullptr, 0, 0, 0, 0},
                                 {FL_ENGRAVED_FRAME, nullptr, 0, 0, 0, 0},
                                 {FL_BORDER_BOX, nullptr, 0, 0, 0, 0},
                                 {FL_UP_FRAME, nullptr, 0, 0, 0, 0}}};
int lineWidth = 1;

template <std::size_t I>
void thickBox(int x, int y, int w, int h, Fl_Color c) {
    for (int i = 0; i < lineWidth; ++i) boxTypes[I].draw(x + i, y + i, w - 2 * i, h - 2 * i, c);
}

template <std::size_t... I>
constexpr std::array<Fl_Box_Draw_F*, sizeof...(I)> thickBoxes(std::index_sequence<I...>) {
    return {&thickBox<I>...};
}

void setLineWidth(int width) {
    if (!boxTypes[0].draw) {
        // The toolkit's own drawing and insets, kept before any is replaced.
        for (BoxType& b : boxTypes) {
            b = {b.type,
                 Fl::get_boxtype(b.type),
                 Fl::box_dx(b.type),
                 Fl::box_dy(b.type),
                 Fl::box_dw(b.type),
                 Fl::box_dh(b.type)};
        }
    }
    if (width == lineWidth) return;
    lineWidth = width;
    static constexpr auto thick = thickBoxes(std::make_index_sequence<boxTypes.size()>{});
    for (std::size_t i = 0; i < boxTypes.size(); ++i) {
        const BoxType& b = boxTypes[i];
        const auto inset = [width](int d) { return static_cast<uchar>(d * width); };
        Fl::set_boxtype(b.type, width == 1 ? b.draw : thick[i], inset(b.dx), inset(b.dy),
                        inset(b.dw), inset(b.dh));
    }
}

// Notices go to standard error, which a host's user rarely sees, and to the log view of every
// open editor. Notices may come from any thread; each view takes its lines at its idle call.
class LogNotices : public platform::NoticeSink {
public:
    // Any thread.
    void show(const platform::Notice& notice) override {
        if (previous_) {
            previous_->show(notice);
        } else {
            platform::showSystemNotice(notice);
        }
        const char* kind = notice.kind == platform::NoticeKind::Error     ? "error"
                           : notice.kind == platform::NoticeKind::Warning ? "warning"
                                                                          : "note";
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [view, lines] : pending_)
            lines.push_back(notice.caption + " " + kind + ": " + platform::shownText(notice));
    }
    // UI thread: a view opens or closes; the first installs this sink, the last removes it.
    void add(const FltkView* view) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty()) previous_ = platform::setNoticeSink(this);
        pending_.emplace_back(view, std::vector<std::string>{});
    }
    void remove(const FltkView* view) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(pending_, [view](const auto& p) { return p.first == view; });
        if (pending_.empty()) platform::setNoticeSink(previous_);
    }
    // UI thread: the lines for a view since it last asked.
    std::vector<std::string> take(const FltkView* view) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [v, lines] : pending_) {
            if (v == view) return std::exchange(lines, {});
        }
        return {};
    }

private:
    std::mutex mutex_;
    platform::NoticeSink* previous_ = nullptr;
    std::vector<std::pair<const FltkView*, std::vector<std::string>>> pending_;
} logNotices;

// The window inside the host's window. It keeps FLTK's idea of its screen position current, so
// popups open beside the control, and takes the keyboard focus when clicked.
class EmbeddedWindow : public Fl_Double_Window {
public:
    EmbeddedWindow(FltkView& view, int w, int h)
        : Fl_Double_Window(w, h, "Corvella"), view_(view) {}
    int handle(int event) override;
    void draw() override;
    void trackScreenPosition() {
        if (!shown()) return;
        int rx = 0, ry = 0;
        ::Window child = 0;
        XTranslateCoordinates(fl_display, fl_xid(this), RootWindow(fl_display, fl_screen), 0, 0,
                              &rx, &ry, &child);
        Fl_Widget::x(rx);
        Fl_Widget::y(ry);
    }

private:
    FltkView& view_;
};

// The activity LED: the model's picture composed over the menu colour through its mask.
class LedWidget : public Fl_Widget {
public:
    LedWidget(TransLed& led, Rgb background, int x, int y, int w, int h)
        : Fl_Widget(x, y, w, h), led_(led), background_(background) {}
    void draw() override {
        Picture surface;
        surface.width = w();
        surface.height = h();
        surface.pixels.assign(static_cast<std::size_t>(w() * h()), background_);
        led_.paintAt(surface, std::min(w(), h()));
        std::vector<uchar> bytes;
        bytes.reserve(surface.pixels.size() * 3);
        for (Rgb p : surface.pixels) {
            bytes.push_back(static_cast<uchar>(p >> 16));
            bytes.push_back(static_cast<uchar>(p >> 8));
            bytes.push_back(static_cast<uchar>(p));
        }
        fl_draw_image(bytes.data(), x(), y(), w(), h(), 3);
    }

private:
    TransLed& led_;
    Rgb background_;
};

// FLTK draws a label inside its box with this margin on either side.
constexpr int kLabelMargin = 3;

// Labels size themselves to their text, on one line; the text starts at the form's place
// unless it would then pass `rightEdge`: it then ends there, since this font is wider than the
// one the form was laid out for.
void fitLabel(Fl_Widget* w, int rightEdge) {
    int tw = 0, th = 0;
    fl_font(w->labelfont(), w->labelsize());
    w->measure_label(tw, th);
    const int width = tw + 2 * kLabelMargin + 1;
    w->resize(fittedLeft(w->x(), width, rightEdge), w->y(), width, th);
}

// A check box or radio button never cuts its caption, whatever the font's metrics. Its box is
// as wide as the caption's font is high, with 11 pixels of gaps and margins beside it.
void fitButton(Fl_Widget* w) {
    if (!w->label() || !*w->label()) return;
    int tw = 0, th = 0;
    fl_font(w->labelfont(), w->labelsize());
    w->measure_label(tw, th);
    const int width = tw + w->labelsize() + 11;
    if (width > w->w()) w->size(width, w->h());
}

// A drop-down list whose arrow button grows with the scale: the toolkit's is never wider than
// 20 pixels, so the button is drawn again, as the toolkit draws it, at the scaled width.
class ScaledChoice : public Fl_Choice {
public:
    ScaledChoice(int arrowWidth, int x, int y, int w, int h)
        : Fl_Choice(x, y, w, h), arrowWidth_(arrowWidth) {}
    void draw() override {
        Fl_Choice::draw();
        if (Fl::scheme()) return;  // the schemes draw a button of their own
        const int dx = Fl::box_dx(FL_DOWN_BOX), dy = Fl::box_dy(FL_DOWN_BOX);
        const int height = h() - 2 * dy;
        const int width = std::min(height, arrowWidth_);
        if (width <= 20) return;
        const int left = x() + w() - width - dx, top = y() + dy;
        draw_box(FL_UP_BOX, left, top, width, height, color());
        const int side = std::max((width - 4) / 3, 1);
        const int x1 = left + (width - 2 * side - 1) / 2, y1 = top + (height - side - 1) / 2;
        fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
        fl_polygon(x1, y1, x1 + side, y1 + side, x1 + 2 * side, y1);
    }

private:
    int arrowWidth_;
};

// A slider that tells the host when a drag begins and ends, so its automation is recorded as
// one gesture.
class GestureSlider : public Fl_Slider {
public:
    GestureSlider(PluginAccess& plugin, int tag, int x, int y, int w, int h)
        : Fl_Slider(x, y, w, h), plugin_(plugin), tag_(tag) {}
    int handle(int event) override {
        if (event == FL_PUSH && Fl::event_button() == FL_LEFT_MOUSE) plugin_.beginEdit(tag_);
        const int used = Fl_Slider::handle(event);
        if (event == FL_RELEASE && Fl::event_button() == FL_LEFT_MOUSE) plugin_.endEdit(tag_);
        return used;
    }

private:
    PluginAccess& plugin_;
    int tag_;
};

// The bus-label edit: Enter stores, Escape cancels (the model decides).
class LabelInput : public Fl_Input {
public:
    LabelInput(TPluginEditorWindow& model, int x, int y, int w, int h)
        : Fl_Input(x, y, w, h), model_(model) {}
    int handle(int event) override {
        if (event == FL_KEYBOARD) {
            const int key = Fl::event_key();
            if (key == FL_Enter || key == FL_KP_Enter) return model_.Edit1KeyDown(13) ? 1 : 0;
            if (key == FL_Escape) return model_.Edit1KeyDown(27) ? 1 : 0;
        }
        return Fl_Input::handle(event);
    }

private:
    TPluginEditorWindow& model_;
};

// A list's entries as FLTK menu items; the texts live as long as the items.
struct ListItems {
    std::vector<std::string> texts;
    std::vector<Fl_Menu_Item> items;
    void assign(const std::vector<std::string>& entries) {
        texts.clear();
        for (const std::string& e : entries) texts.push_back(literal(e));
        items.assign(texts.size() + 1, Fl_Menu_Item{});
        for (std::size_t i = 0; i < texts.size(); ++i) items[i].text = texts[i].c_str();
    }
};

class FltkView : public EditorView {
public:
    FltkView(::Window parent, TPluginEditorWindow& model, int scale)
        : model_(model), scale_(scale) {
        Fl_Tooltip::size(px(FL_NORMAL_SIZE));
        setLineWidth(lineWidth());
        window_ = std::make_unique<EmbeddedWindow>(*this, px(kWindowWidth), px(kWindowHeight));
        window_->color(kMenuBackground);
        build();
        window_->end();
        window_->border(0);
        // Never managed by the window manager: it lives inside the host's window at once.
        window_->set_override();
        // Off the screen for the moment between its creation and its move into the host's.
        window_->position(-2 * window_->w(), -2 * window_->h());
        window_->show();
        XReparentWindow(fl_display, fl_xid(window_.get()), parent, 0, 0);
        XMapWindow(fl_display, fl_xid(window_.get()));
        XSync(fl_display, False);
        window_->trackScreenPosition();
        Fl::add_timeout(kPassSeconds, &FltkView::tick, this);
        logNotices.add(this);
    }

    ~FltkView() override {
        logNotices.remove(this);
        Fl::remove_timeout(&FltkView::tick, this);
        const ViewErrorScope scope;
        if (window_) {
            window_->hide();
            window_.reset();
        }
    }

    // --- EditorView ---
    void changed(Id id, Property what) override {
        Fl_Widget* w = widgets_[index(id)];
        if (what == Property::ActivePage) {
            showPage(model_.activePage());
            return;
        }
        if (!w) return;
        const ControlState& s = model_.state(id);
        switch (what) {
            case Property::Enabled:
                s.enabled ? w->activate() : w->deactivate();
                break;
            case Property::Visible:
                if (s.visible) {
                    if (id == Id::Edit1) {
                        auto* input = static_cast<Fl_Input*>(w);
                        input->value(s.text.c_str());
                        w->show();
                        input->take_focus();
                        input->position(input->size(), 0);
                    } else {
                        w->show();
                    }
                } else {
                    w->hide();
                }
                break;
            case Property::Checked:
                static_cast<Fl_Button*>(w)->value(s.checked ? 1 : 0);
                break;
            case Property::Position:
                static_cast<Fl_Slider*>(w)->value(s.position);
                break;
            case Property::Selection:
                static_cast<Fl_Choice*>(w)->value(s.selected);
                break;
            case Property::Text:
                if (id != Id::Edit1) {
                    texts_[index(id)] = literal(s.text);
                    w->label(texts_[index(id)].c_str());
                    if (control(id).kind == Kind::Label) fitLabel(w, px(kWindowWidth));
                    window_->redraw();
                }
                break;
            case Property::Entries:
                fillList(id);
                break;
            case Property::Memo:
                showMemo();
                break;
            case Property::Led:
                w->redraw();
                break;
            case Property::Hint:
                hints_[index(id)] = s.hint;
                w->tooltip(hints_[index(id)].empty() ? nullptr : hints_[index(id)].c_str());
                break;
            case Property::ActivePage:
                break;
        }
    }

    std::uintptr_t nativeWindow() const override { return fl_xid(window_.get()); }

    void idle() override {
        {
            const ViewErrorScope scope;
            window_->trackScreenPosition();
            Fl::check();
        }
        for (const std::string& line : logNotices.take(this)) model_.appendLine(line);
    }

    bool chooseSaveFile(const std::string& proposed, std::string& path) override {
        const std::string start = musicDirectory() + "/" + proposed;
        Fl_File_Chooser chooser(start.c_str(), "Type 0 midi file (*.mid)\tAny file (*)",
                                Fl_File_Chooser::CREATE, "Save log as...");
        chooser.value(start.c_str());
        chooser.show();
        while (chooser.shown()) Fl::wait();
        const char* chosen = chooser.value();
        if (!chosen || !*chosen) return false;
        struct stat st {};
        if (::stat(chosen, &st) == 0) {
            const std::string name = chosen;
            if (fl_choice("%s already exists.\nDo you want to replace it?", "No", "Yes", nullptr,
                          name.c_str()) != 1)
                return false;
        }
        path = chosen;
        return true;
    }

    void copyMemoSelection() override {
        int from = 0, to = 0;
        if (!memoBuffer_.selection_position(&from, &to) || to <= from) return;
        char* text = memoBuffer_.selection_text();
        Fl::copy(text, static_cast<int>(std::strlen(text)), 1);
        std::free(text);
    }

    void showOptions(OptionsDialog& dialog) override;

    int scalePercent() const override { return scale_; }
    // The width of the frames' lines at this scale.
    int lineWidth() const { return std::max(1, px(1)); }

    Rgb systemColour(Colour) override {
        uchar r = 0, g = 0, b = 0;
        Fl::get_color(kMenuBackground, r, g, b);
        return rgb(r, g, b);
    }

    // The user pressed a mouse button somewhere in the window: context menus and the pages'
    // mouse-down handler. True when the press was used here.
    bool mouse(int button, int x, int y) {
        const Id under = controlAt(x, y);
        if (button == FL_RIGHT_MOUSE) {
            contextMenu(under);
            return true;
        }
        if (under == Id::Count) {
            const Id target = y >= px(kWindowHeight - kTabRow)
                                  ? Id::PageControl1
                                  : kPages[static_cast<std::size_t>(model_.activePage())];
            model_.userMouseDown(target);
        }
        return false;
    }

private:
    static void tick(void* self) {
        auto* view = static_cast<FltkView*>(self);
        Fl::repeat_timeout(kPassSeconds, &FltkView::tick, self);
        view->model_.UpdaterTimer();
    }

    // The widget of one control of the options dialog; null for a kind it has none for.
    Fl_Widget* optionWidget(OptionsWindow& ow, OptionsItem& item) const;

    // A length of the form, and a rectangle of the form, in the view's pixels.
    int px(int formPixels) const { return scaled(formPixels, scale_); }
    ScaledRect area(int x, int y, int w, int h) const { return scaledRect(x, y, w, h, scale_); }

    // Where a control sits in the window, from the form's places (at 100 %).
    struct Place {
        int x, y;
    };
    Place origin(const Control& c) const {
        if (c.parent < 0) return {c.left, c.top};
        const Control& parent = editorForm()[static_cast<std::size_t>(c.parent)];
        if (parent.kind == Kind::Page) return {kPageLeft + c.left, kPageTop + c.top};
        const Place p = origin(parent);
        return {p.x + c.left, p.y + c.top};
    }

    // The visible control under a point of the window on the active page or on the window.
    Id controlAt(int x, int y) const {
        for (std::size_t i = kControlCount; i-- > 1;) {
            const Id id = static_cast<Id>(i);
            const Control& c = control(id);
            if (c.kind == Kind::Page || c.kind == Kind::PageControl) continue;
            Fl_Widget* w = widgets_[i];
            if (!w || !w->visible_r()) continue;
            if (x >= w->x() && x < w->x() + w->w() && y >= w->y() && y < w->y() + w->h()) return id;
        }
        return Id::Count;
    }

    // The widgets of the form, each inside its container, in table order.
    void build() {
        for (std::size_t i = 1; i < kControlCount; ++i) {
            const Control& c = editorForm()[i];
            const Id id = static_cast<Id>(i);
            Fl_Group* container = containerOf(c);
            if (container) container->begin();
            Fl_Widget* w = makeWidget(c, model_.state(id));
            if (container) container->end();
            widgets_[i] = w;
            if (w) dress(w, id);
        }
        showPage(model_.activePage());
    }

    // Pages lie on the window; other controls in their page, panel or frame.
    Fl_Group* containerOf(const Control& c) const {
        if (c.kind == Kind::Page || c.parent <= 0) return window_.get();
        return static_cast<Fl_Group*>(widgets_[static_cast<std::size_t>(c.parent)]);
    }

    // The widget of one control of the form; null for a kind it has none for.
    Fl_Widget* makeWidget(const Control& c, const ControlState& s) {
        const Place at = origin(c);
        const ScaledRect r = area(at.x, at.y, c.width, c.height);
        switch (c.kind) {
            case Kind::PageControl:
                return makeTabRow();
            case Kind::Page: {
                const ScaledRect pageArea = area(0, 0, kWindowWidth, kWindowHeight - kTabRow);
                auto* page = new Fl_Group(pageArea.x, pageArea.y, pageArea.w, pageArea.h);
                page->box(FL_THIN_UP_FRAME);
                page->end();
                return page;
            }
            case Kind::Label: {
                auto* box = new Fl_Box(px(at.x) - kLabelMargin, px(at.y), 1, 1);
                box->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
                return box;
            }
            case Kind::CheckBox:
            case Kind::Radio:
                return makeButton(c, s, r);
            case Kind::DropDown: {
                auto* list = new ScaledChoice(px(20), r.x, r.y, r.w, r.h);
                list->down_box(FL_BORDER_BOX);
                list->textsize(px(11));
                list->callback(&FltkView::listChosen, this);
                return list;
            }
            case Kind::Slider:
                return makeSlider(c, s, r);
            case Kind::Memo:
                return makeMemo(r);
            case Kind::Bevel: {
                const bool line = (c.style & TopLineOnly) != 0;
                auto* bevel = new Fl_Box(r.x, r.y, r.w, line ? 2 : r.h);
                bevel->box(line ? FL_THIN_DOWN_BOX : FL_ENGRAVED_FRAME);
                return bevel;
            }
            case Kind::Panel: {
                auto* panel = new Fl_Group(r.x, r.y, r.w, r.h);
                panel->box(FL_FLAT_BOX);
                panel->color(kMenuBackground);
                panel->end();
                return panel;
            }
            case Kind::Led:
                return new LedWidget(model_.led(), systemColour(kMenuColour), r.x, r.y, r.w, r.h);
            case Kind::Edit: {
                auto* input = new LabelInput(model_, r.x, r.y, r.w, r.h);
                input->textsize(px(11));
                input->when(FL_WHEN_CHANGED);
                input->callback(&FltkView::edited, this);
                return input;
            }
            default:
                return nullptr;
        }
    }

    // The tab row: five tabs sharing the bottom row, each a radio button.
    Fl_Widget* makeTabRow() {
        const int pageHeight = kWindowHeight - kTabRow;
        const ScaledRect rowArea = area(0, pageHeight, kWindowWidth, kTabRow);
        auto* row = new Fl_Group(rowArea.x, rowArea.y, rowArea.w, rowArea.h);
        row->box(FL_FLAT_BOX);
        row->color(kMenuBackground);
        for (std::size_t p = 0; p < kPages.size(); ++p) {
            const int left = static_cast<int>(p) * kWindowWidth / 5;
            const int right = static_cast<int>(p + 1) * kWindowWidth / 5;
            const ScaledRect t = area(left, pageHeight, right - left, kTabRow);
            auto* tab = new Fl_Button(t.x, t.y, t.w, t.h, control(kPages[p]).caption);
            tab->type(FL_RADIO_BUTTON);
            tab->box(FL_THIN_UP_BOX);
            tab->down_box(FL_FLAT_BOX);
            tab->labelsize(px(11));
            tab->clear_visible_focus();
            tab->callback(&FltkView::tabChosen, this);
            tabs_[p] = tab;
        }
        row->end();
        return row;
    }

    Fl_Widget* makeButton(const Control& c, const ControlState& s, const ScaledRect& r) {
        Fl_Button* b = nullptr;
        if (c.kind == Kind::CheckBox) {
            b = new Fl_Check_Button(r.x, r.y, r.w, r.h);
        } else {
            b = new Fl_Round_Button(r.x, r.y, r.w, r.h);
        }
        b->value(s.checked ? 1 : 0);
        b->callback(&FltkView::buttonClicked, this);
        // Opaque, as the native buttons are: "Delay output" sits on its frame.
        b->box(FL_FLAT_BOX);
        b->color(kMenuBackground);
        return b;
    }

    Fl_Widget* makeSlider(const Control& c, const ControlState& s, const ScaledRect& r) {
        auto* slider = new GestureSlider(model_.plugin(), c.tag, r.x, r.y, r.w, r.h);
        slider->type(FL_HOR_NICE_SLIDER);
        slider->bounds(c.minimum, c.maximum);
        slider->step(1);
        slider->slider_size(15.0 / c.width);
        slider->value(s.position);
        slider->box(FL_FLAT_BOX);
        slider->color(kMenuBackground);
        slider->when(FL_WHEN_CHANGED);
        slider->callback(&FltkView::slid, this);
        return slider;
    }

    Fl_Widget* makeMemo(const ScaledRect& r) {
        auto* memo = new Fl_Text_Display(r.x, r.y, r.w, r.h);
        memo->buffer(&memoBuffer_);
        memo->textfont(FL_HELVETICA);
        memo->textsize(px(9));
        memo->scrollbar_width(px(16));
        memo->scrollbar_align(FL_ALIGN_RIGHT);
        return memo;
    }

    // What every widget of the form takes from its control and state: the font, the caption
    // (fitted), the focus mark, the list's entries and whether it shows.
    void dress(Fl_Widget* w, Id id) {
        const Control& c = control(id);
        const ControlState& s = model_.state(id);
        const std::size_t i = index(id);
        w->user_data(this);
        ids_.push_back({w, id});
        w->labelsize(px((c.style & SmallFont) ? 9 : 11));
        w->labelfont((c.style & Bold) ? FL_HELVETICA_BOLD : FL_HELVETICA);
        if (c.kind != Kind::Page && c.kind != Kind::PageControl && c.kind != Kind::Memo &&
            c.kind != Kind::Edit && c.caption && *c.caption) {
            texts_[i] = literal(s.text);
            w->label(texts_[i].c_str());
        }
        if (c.kind == Kind::Label) fitLabel(w, px(kWindowWidth));
        if (c.kind == Kind::CheckBox || c.kind == Kind::Radio) fitButton(w);
        // Only the text controls show a focus mark, as the native controls do until the
        // keyboard is used.
        if (c.kind != Kind::Edit && c.kind != Kind::Memo) w->clear_visible_focus();
        if (c.kind == Kind::DropDown) fillList(id);
        if (!s.visible) w->hide();
    }

    Id idOf(const Fl_Widget* w) const {
        for (const auto& [widget, id] : ids_) {
            if (widget == w) return id;
        }
        return Id::Count;
    }

    void fillList(Id id) {
        auto* list = static_cast<Fl_Choice*>(widgets_[index(id)]);
        ListItems& items = lists_[index(id)];
        const ControlState& s = model_.state(id);
        items.assign(s.entries);
        list->menu(items.items.data());
        list->value(s.selected);
        list->redraw();
    }

    void showMemo() {
        auto* memo = static_cast<Fl_Text_Display*>(widgets_[index(Id::Memo1)]);
        std::string text;
        for (const std::string& line : model_.memoLines()) {
            text += line;
            text += '\n';
        }
        memoBuffer_.text(text.c_str());
        memo->insert_position(memoBuffer_.length());
        memo->show_insert_position();
    }

    void showPage(int active) {
        for (std::size_t p = 0; p < kPages.size(); ++p) {
            Fl_Widget* page = widgets_[index(kPages[p])];
            const bool on = static_cast<int>(p) == active;
            if (page) on ? page->show() : page->hide();
            if (tabs_[p]) tabs_[p]->value(on ? 1 : 0);
        }
        window_->redraw();
    }

    void contextMenu(Id on) {
        const std::vector<MenuEntry> entries = model_.openContextMenu(on);
        std::vector<Fl_Menu_Item> popup(entries.size() + 1, Fl_Menu_Item{});
        for (std::size_t i = 0; i < entries.size(); ++i) {
            popup[i].text = entries[i].caption.c_str();
            popup[i].labelsize_ = px(11);
            if (entries[i].checkItem)
                popup[i].flags = FL_MENU_TOGGLE | (entries[i].checked ? FL_MENU_VALUE : 0);
        }
        const Fl_Menu_Item* chosen = popup.data()->popup(Fl::event_x(), Fl::event_y());
        if (chosen) model_.contextMenuChosen(on, static_cast<std::size_t>(chosen - popup.data()));
    }

    // --- Callbacks ---
    static void tabChosen(Fl_Widget* w, void* self) {
        auto* view = static_cast<FltkView*>(self);
        for (std::size_t p = 0; p < kPages.size(); ++p) {
            if (view->tabs_[p] == w) view->model_.userPage(static_cast<int>(p));
        }
        view->model_.userMouseDown(Id::PageControl1);
        view->showPage(view->model_.activePage());
    }

    static void buttonClicked(Fl_Widget* w, void* self) {
        auto* view = static_cast<FltkView*>(self);
        const Id id = view->idOf(w);
        if (id == Id::Count) return;
        // The model decides the state; the button shows it.
        auto* button = static_cast<Fl_Button*>(w);
        const bool wanted = button->value() != 0;
        button->value(view->model_.state(id).checked ? 1 : 0);
        if (control(id).kind == Kind::Radio) {
            view->model_.userRadio(id);
        } else {
            view->model_.userCheck(id, wanted);
        }
    }

    static void listChosen(Fl_Widget* w, void* self) {
        auto* view = static_cast<FltkView*>(self);
        const Id id = view->idOf(w);
        if (id != Id::Count) view->model_.userSelect(id, static_cast<Fl_Choice*>(w)->value());
    }

    static void slid(Fl_Widget* w, void* self) {
        auto* view = static_cast<FltkView*>(self);
        const Id id = view->idOf(w);
        if (id != Id::Count) {
            view->model_.userSlide(id, static_cast<int>(static_cast<Fl_Slider*>(w)->value()));
        }
    }

    static void edited(Fl_Widget* w, void* self) {
        static_cast<FltkView*>(self)->model_.userEditText(static_cast<Fl_Input*>(w)->value());
    }

    static constexpr int kPageLeft = 2;
    static constexpr int kPageTop = 2;

    TPluginEditorWindow& model_;
    int scale_;  // percent
    std::unique_ptr<EmbeddedWindow> window_;
    std::array<Fl_Widget*, kControlCount> widgets_{};
    std::array<std::string, kControlCount> texts_;
    std::array<std::string, kControlCount> hints_;
    std::array<ListItems, kControlCount> lists_;
    std::array<Fl_Button*, kPages.size()> tabs_{};
    std::vector<std::pair<Fl_Widget*, Id>> ids_;
    Fl_Text_Buffer memoBuffer_;
};

void EmbeddedWindow::draw() {
    setLineWidth(view_.lineWidth());
    Fl_Double_Window::draw();
}

int EmbeddedWindow::handle(int event) {
    if (event == FL_PUSH) {
        // Keys typed into the editor reach its controls, not the host's window.
        XSetInputFocus(fl_display, fl_xid(this), RevertToParent, fl_event_time);
        trackScreenPosition();
        if (view_.mouse(Fl::event_button(), Fl::event_x(), Fl::event_y())) return 1;
    }
    return Fl_Double_Window::handle(event);
}

// --- Options dialog ------------------------------------------------------------------------

// The dialog's widgets and what they show: the items' texts live as long as the widgets.
struct OptionsWindow {
    OptionsDialog& dialog;
    std::vector<OptionsItem> items;
    std::array<Fl_Widget*, kOptionsControlCount> widgets{};
    ListItems scaleItems;
};

void optionChecked(Fl_Widget* w, void* data) {
    auto* ow = static_cast<OptionsWindow*>(data);
    for (std::size_t i = 0; i < kOptionsControlCount; ++i) {
        if (ow->widgets[i] != w) continue;
        const OptId id = static_cast<OptId>(i);
        auto* box = static_cast<Fl_Button*>(w);
        ow->dialog.userCheck(id, box->value() != 0);
        box->value(ow->dialog.checked(id) ? 1 : 0);
    }
}

void optionEdited(Fl_Widget* in, void* data) {
    static_cast<OptionsDialog*>(data)->userEditText(static_cast<Fl_Input*>(in)->value());
}

void optionScaleChosen(Fl_Widget* chosen, void* data) {
    static_cast<OptionsDialog*>(data)->userSelectScale(static_cast<Fl_Choice*>(chosen)->value());
}

// The dialog closes by its button or by any other means; either applies the values.
void optionsClosed(Fl_Widget*, void* data) {
    static_cast<OptionsDialog*>(data)->BitBtn1Click();
}

Fl_Widget* FltkView::optionWidget(OptionsWindow& ow, OptionsItem& item) const {
    const Control& c = *item.control;
    const ScaledRect r = area(c.left, c.top, c.width, c.height);
    switch (c.kind) {
        case Kind::Panel: {
            auto* panel = new Fl_Box(r.x, r.y, r.w, r.h);
            panel->box(FL_UP_BOX);
            return panel;
        }
        case Kind::StaticText: {
            std::erase(item.text, '\r');
            auto* text = new Fl_Box(r.x, r.y, r.w, r.h, item.text.c_str());
            text->box(FL_THIN_DOWN_BOX);
            text->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
            return text;
        }
        case Kind::CheckBox: {
            auto* box = new Fl_Check_Button(r.x, r.y, r.w, r.h, item.text.c_str());
            box->value(item.checked ? 1 : 0);
            box->callback(&optionChecked, &ow);
            box->clear_visible_focus();
            return box;
        }
        case Kind::Label: {
            auto* label = new Fl_Box(r.x - kLabelMargin, r.y, 1, 1, item.text.c_str());
            label->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
            return label;
        }
        case Kind::Edit: {
            auto* input = new Fl_Input(r.x, r.y, r.w, r.h);
            input->value(item.text.c_str());
            input->textsize(px(11));
            input->when(FL_WHEN_CHANGED);
            input->callback(&optionEdited, &ow.dialog);
            return input;
        }
        case Kind::Button: {
            auto* button = new Fl_Button(r.x, r.y, r.w, r.h, item.text.c_str());
            button->callback(&optionsClosed, &ow.dialog);
            return button;
        }
        case Kind::DropDown: {
            // The editor's scale, stored at once; it applies when the editor opens next.
            auto* list = new ScaledChoice(px(20), r.x, r.y, r.w, r.h);
            list->down_box(FL_BORDER_BOX);
            list->textsize(px(11));
            ow.scaleItems.assign(item.entries);
            list->menu(ow.scaleItems.items.data());
            list->value(item.selected);
            list->clear_visible_focus();
            list->callback(&optionScaleChosen, &ow.dialog);
            return list;
        }
        default:
            return nullptr;
    }
}

void FltkView::showOptions(OptionsDialog& dialog) {
    OptionsWindow ow{dialog, dialog.items(true), {}, {}};
    Fl_Double_Window dlg(px(kOptionsWidth), px(kOptionsHeight), OptionsDialog::title());
    // Centred on the editor (and so on the host's window that holds it).
    window_->trackScreenPosition();
    dlg.position(window_->x() + (window_->w() - dlg.w()) / 2,
                 window_->y() + (window_->h() - dlg.h()) / 2);
    dlg.color(kMenuBackground);
    for (OptionsItem& item : ow.items) {
        Fl_Widget* w = optionWidget(ow, item);
        ow.widgets[static_cast<std::size_t>(item.id)] = w;
        if (!w) continue;
        w->labelsize(px(11));
        w->labelfont(FL_HELVETICA);
        if (item.tooltip) w->tooltip(item.tooltip);
        if (item.control->kind == Kind::Label) fitLabel(w, px(item.labelEnd));
        if (item.control->kind == Kind::CheckBox) fitButton(w);
    }
    dlg.end();
    dlg.border(0);
    dlg.set_modal();
    dlg.callback(&optionsClosed, &dialog);
    dlg.show();
    while (dlg.shown() && !dialog.closed()) Fl::wait();
    dlg.hide();
    Fl::check();
}

// Whether the host's handle names a window; a wrong handle is refused rather than raising an
// X error in the host.
bool isWindow(::Window w) {
    const ViewErrorScope scope;
    XWindowAttributes attributes{};
    return XGetWindowAttributes(fl_display, w, &attributes) != 0;
}

}  // namespace

std::unique_ptr<EditorView> createSystemEditorView(void* parent, TPluginEditorWindow& window) {
    if (!parent || !openDisplay()) return nullptr;
    const auto parentWindow = static_cast<::Window>(reinterpret_cast<std::uintptr_t>(parent));
    if (!isWindow(parentWindow)) return nullptr;
    return std::make_unique<FltkView>(parentWindow, window,
                                      chooseScale(readEditorScale(), xftDpi()));
}
