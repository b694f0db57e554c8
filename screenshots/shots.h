#pragma once

#include <QString>
#include <functional>

class QWidget;

// The window pictures: each form registers a function that renders its PNG files
// (named after the form, "dlgAdd.png", "dlgAdd-center.png"...) into a folder.
using ShotFunction = std::function<void(const QString &folder)>;

struct ShotRegistrar {
    ShotRegistrar(const char *name, ShotFunction function);
};

// Shows the widget offscreen, lets it lay out and paint, and saves it as folder/fileName.
void saveShot(QWidget *widget, const QString &folder, const QString &fileName);

// Registers a shot function from a .cpp file in screenshots/:
//   FUMIDORI_SHOT(dlgAbout) { dlgAbout d(...); saveShot(&d, folder, "dlgAbout.png"); }
#define FUMIDORI_SHOT(name)                                                                                          \
    static void shot_##name(const QString &folder);                                                                \
    static ShotRegistrar registrar_##name(#name, shot_##name);                                                     \
    static void shot_##name(const QString &folder)
