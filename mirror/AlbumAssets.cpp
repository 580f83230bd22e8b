#include "mirror/AlbumAssets.h"

const char* AlbumScript()
{
    return R"js("use strict";
(function () {
  const pictures = Array.from(document.querySelectorAll("a.picture"));
  const labels = document.body.dataset;

  function make(tag, id, text) {
    const node = document.createElement(tag);
    if (id) node.id = id;
    if (text !== undefined) node.textContent = text;
    return node;
  }
  function button(id, label) {
    const node = make("button", id, label);
    node.type = "button";
    node.setAttribute("aria-label", label);
    return node;
  }

  const viewer = make("div", "viewer");
  viewer.hidden = true;
  viewer.setAttribute("role", "dialog");
  viewer.setAttribute("aria-modal", "true");
  const image = make("img", "viewer-image");
  image.alt = "";
  const name = make("span", "viewer-name");
  const size = make("span", "viewer-size");
  const caption = make("p");
  caption.className = "viewer-caption";
  caption.append(name, size);
  const close = button("viewer-close", labels.close || "Close");
  const previous = button("viewer-previous", labels.previous || "Previous");
  const next = button("viewer-next", labels.next || "Next");
  const bar = make("div");
  bar.className = "viewer-bar";
  bar.append(previous, caption, next);
  viewer.append(close, image, bar);
  document.body.append(viewer);

  let current = -1;

  function show(index) {
    const link = pictures[index];
    current = index;
    image.src = link.href;
    name.textContent = link.dataset.name || "";
    size.textContent = link.dataset.size || "";
    previous.disabled = index === 0;
    next.disabled = index === pictures.length - 1;
  }
  function open(index) {
    show(index);
    viewer.hidden = false;
    document.documentElement.classList.add("viewing");
    close.focus();
  }
  function shut() {
    if (viewer.hidden) return;
    viewer.hidden = true;
    document.documentElement.classList.remove("viewing");
    image.removeAttribute("src");
    pictures[current].focus();
    current = -1;
  }
  // At either end the viewer stays where it is: wrapping around would hide where the folder ends.
  function step(by) {
    const index = current + by;
    if (index >= 0 && index < pictures.length) show(index);
  }

  pictures.forEach(function (link, index) {
    link.addEventListener("click", function (event) {
      // A modified or middle click keeps its usual meaning: a new tab, a window, a download.
      if (event.button !== 0 || event.ctrlKey || event.metaKey || event.shiftKey || event.altKey) return;
      event.preventDefault();
      open(index);
    });
  });
  close.addEventListener("click", shut);
  previous.addEventListener("click", function () { step(-1); });
  next.addEventListener("click", function () { step(1); });
  viewer.addEventListener("click", function (event) {
    if (event.target === viewer) shut();
  });

  document.addEventListener("keydown", function (event) {
    if (viewer.hidden || event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.key === "ArrowRight") step(1);
    else if (event.key === "ArrowLeft") step(-1);
    else if (event.key === "Escape") shut();
    else return;
    event.preventDefault();
  });

  // A mostly sideways swipe of more than 50 pixels turns the page; shorter or steeper ones are taps.
  let startX = 0;
  let startY = 0;
  viewer.addEventListener("touchstart", function (event) {
    startX = event.changedTouches[0].clientX;
    startY = event.changedTouches[0].clientY;
  }, { passive: true });
  viewer.addEventListener("touchend", function (event) {
    const dx = event.changedTouches[0].clientX - startX;
    const dy = event.changedTouches[0].clientY - startY;
    if (Math.abs(dx) > 50 && Math.abs(dx) > Math.abs(dy)) step(dx < 0 ? 1 : -1);
  }, { passive: true });
})();
)js";
}

const char* AlbumStyle()
{
    return R"css(:root { color-scheme: light dark; font-family: system-ui, sans-serif; line-height: 1.4; }
body { max-width: 72rem; margin: 0 auto; padding: 1rem; }
html.viewing, html.viewing body { overflow: hidden; }
a { color: inherit; }
nav.path { font-size: 0.9rem; overflow-wrap: anywhere; }
nav.path span { font-weight: 600; }
h1 { font-size: 1.5rem; margin: 0.5rem 0 1rem; overflow-wrap: anywhere; }
h2 { font-size: 1.1rem; }

.folders, .pictures {
  display: grid;
  grid-template-columns: repeat(auto-fill, minmax(8rem, 1fr));
  gap: 0.75rem;
  margin-bottom: 1.5rem;
}
.folder, .picture {
  display: block;
  overflow: hidden;
  border-radius: 6px;
  background: rgba(128, 128, 128, 0.15);
  text-decoration: none;
}
.folder:hover, .picture:hover, .folder:focus-visible, .picture:focus-visible { outline: 2px solid #4a8fe7; }
.folder img, .picture img, .placeholder {
  display: block;
  width: 100%;
  aspect-ratio: 1;
  object-fit: cover;
}
.placeholder { background: repeating-linear-gradient(45deg, rgba(128, 128, 128, 0.2) 0 8px, transparent 8px 16px); }
.folder .name { display: block; padding: 0.4rem 0.5rem 0; font-weight: 600; overflow-wrap: anywhere; }
.folder .count { display: block; padding: 0 0.5rem 0.5rem; font-size: 0.85rem; opacity: 0.75; }
.files ul { padding-left: 1.2rem; }
.files li { overflow-wrap: anywhere; }
.files .size { opacity: 0.7; }

#viewer {
  position: fixed;
  inset: 0;
  z-index: 10;
  display: flex;
  flex-direction: column;
  align-items: center;
  justify-content: center;
  background: rgba(0, 0, 0, 0.92);
  color: #fff;
  touch-action: none;
  overscroll-behavior: contain;
}
#viewer[hidden] { display: none; }
#viewer-image {
  max-width: calc(100vw - 1rem);
  max-height: calc(100vh - 7rem);
  max-height: calc(100dvh - 7rem);
  object-fit: contain;
}
.viewer-bar {
  display: flex;
  align-items: center;
  gap: 0.75rem;
  width: 100%;
  max-width: 40rem;
  padding: 0.5rem;
  box-sizing: border-box;
}
.viewer-caption { flex: 1; margin: 0; text-align: center; overflow-wrap: anywhere; }
#viewer-size { margin-left: 0.75em; opacity: 0.7; }
#viewer button {
  padding: 0.5rem 0.9rem;
  border: 1px solid rgba(255, 255, 255, 0.4);
  border-radius: 6px;
  background: rgba(255, 255, 255, 0.12);
  color: #fff;
  font: inherit;
  cursor: pointer;
}
#viewer button:disabled { opacity: 0.3; cursor: default; }
#viewer-close { position: absolute; top: 0.5rem; right: 0.5rem; }
)css";
}
