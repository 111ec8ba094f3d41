// The demo switches of scripts/demo, read once from the environment when the
// window is up:
//   PYREWICK_DEMO_PACKAGE=<zip>    imports that upgrade package
//   PYREWICK_DEMO_MEDIA=<dir>      imports that media directory
//   PYREWICK_DEMO_AUTOSTART=1      presses Start once the window is up
//   PYREWICK_DEMO_SCREENSHOT=<png> saves a picture of the window when
//                                  PYREWICK_DEMO_ROWS rows (default 8) show a
//                                  result, then quits; after
//                                  PYREWICK_DEMO_TIMEOUT seconds (default 600)
//                                  it saves it anyway and quits with code 3
// The driver only presses what the operator would press.
#ifndef DEMODRIVER_H
#define DEMODRIVER_H

#include <QObject>

class MainWindow;

class DemoDriver : public QObject {
    Q_OBJECT

  public:
    // Reads the switches and acts on them; lives as long as the window.
    explicit DemoDriver(MainWindow *window);

  private:
    void checkScreenshot();
    void takeScreenshot(int exitCode);

    MainWindow *mWindow;
    bool mScreenshotTaken = false;
    bool mResultsPainted = false; // every result was in the last refresh
};

#endif
