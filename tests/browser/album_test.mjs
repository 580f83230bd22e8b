// The album in a real browser: the sample gallery is mirrored with --album into a fresh folder,
// then headless Chromium opens the pages from disk, walks down to a folder of pictures, and
// opens, turns and closes the viewer. The pages must work without a server, so any request
// other than file://, any console message and any script error fails the run.
//
// node album_test.mjs TESSARY SAMPLE_GALLERY SCREENSHOT
// Exits 0 when it passes, 1 when it fails, 77 when node's puppeteer-core or Chromium is missing.
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { pathToFileURL } from "node:url";

const SKIP = 77;
const CHROMIUM = "/usr/bin/chromium";
const STEP_TIMEOUT = 15000;
const WHOLE_RUN_TIMEOUT = 160000;
const MAX_FOLDER_DEPTH = 6;

class Failure extends Error {}
function fail(message) {
  throw new Failure(message);
}

// Waits for a child to exit, for at most `ms`; resolves to its status, or null if it is still running.
function exited(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child.exitCode);
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), ms);
    child.once("exit", (code) => {
      clearTimeout(timer);
      resolve(code);
    });
  });
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  process.kill(child.pid, "SIGTERM");
  if ((await exited(child, 5000)) === null && child.exitCode === null) process.kill(child.pid, "SIGKILL");
}

// Starts the sample gallery and reads its "listening on HOST:PORT" line. The JPEG pictures are
// the more faithful gallery; a server without that option says so at once and runs without it.
async function startGallery(program, options) {
  const server = spawn(program, ["--port", "0", ...options], { stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  const address = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), 10000);
    const read = (chunk) => {
      output += chunk;
      const found = /^listening on (\S+)$/m.exec(output);
      if (found) {
        clearTimeout(timer);
        resolve(found[1]);
      }
    };
    server.stdout.on("data", read);
    server.stderr.on("data", read);
    server.once("exit", () => {
      clearTimeout(timer);
      resolve(null);
    });
  });
  if (address) return { server, address };
  await stop(server);
  return { server: null, address: null, output };
}

async function run(program, args, ms) {
  const child = spawn(program, args, { stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  child.stdout.on("data", (chunk) => (output += chunk));
  child.stderr.on("data", (chunk) => (output += chunk));
  const status = await exited(child, ms);
  if (status === null) {
    await stop(child);
    fail(`${path.basename(program)} did not finish within ${ms / 1000} s:\n${output}`);
  }
  return { status, output };
}

async function main(children) {
  const [tessary, sampleGallery, screenshot] = process.argv.slice(2);
  if (!screenshot) fail("usage: node album_test.mjs TESSARY SAMPLE_GALLERY SCREENSHOT");

  let puppeteer;
  try {
    puppeteer = createRequire(import.meta.url)("puppeteer-core");
  } catch {
    console.log("skipped: puppeteer-core is not installed (bash tools/setup.sh test installs it into the build tree)");
    return SKIP;
  }
  try {
    fs.accessSync(CHROMIUM, fs.constants.X_OK);
  } catch {
    console.log(`skipped: no Chromium at ${CHROMIUM} (bash tools/setup.sh test installs it)`);
    return SKIP;
  }

  const dest = fs.mkdtempSync(path.join(os.tmpdir(), "tessary-album-"));
  children.folders.push(dest);

  let gallery = await startGallery(sampleGallery, ["--jpeg-pictures"]);
  if (!gallery.server) gallery = await startGallery(sampleGallery, []);
  if (!gallery.server) fail(`the sample gallery did not start:\n${gallery.output}`);
  children.server = gallery.server;
  console.log(`sample gallery on ${gallery.address}, mirroring into ${dest}`);

  const job = await run(tessary, ["--folder", "77154", "--host-a", "--dest", dest + "/", "--no-pause",
    "--proxy", gallery.address, "--album"], 120000);
  await stop(children.server);
  const top = path.join(dest, "index.html");
  if (!fs.existsSync(top)) fail(`tessary wrote no ${top} (exit status ${job.status}):\n${job.output}`);
  if (job.status !== 0) fail(`tessary ended with status ${job.status}:\n${job.output}`);

  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    // No host name resolves: nothing the browser does on its own can leave the machine.
    args: ["--host-resolver-rules=MAP * ~NOTFOUND", ...(process.getuid && process.getuid() === 0 ? ["--no-sandbox"] : [])],
    timeout: 30000,
    protocolTimeout: 30000,
  });
  children.browser = browser;
  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  await page.setViewport({ width: 1000, height: 700 });

  const problems = [];
  await page.setRequestInterception(true);
  page.on("request", (request) => {
    if (request.url().startsWith("file://")) {
      request.continue();
    } else {
      problems.push(`request to ${request.url()}`);
      request.abort();
    }
  });
  // Closing the viewer drops its picture, which may cancel a load still under way.
  page.on("requestfailed", (request) => {
    const reason = request.failure() ? request.failure().errorText : "failed";
    if (reason !== "net::ERR_ABORTED") problems.push(`${request.url()}: ${reason}`);
  });
  page.on("console", (message) => problems.push(`console ${message.type()}: ${message.text()}`));
  page.on("pageerror", (error) => problems.push(`script error: ${error.message}`));
  const check = (when) => {
    if (problems.length) fail(`${when}:\n  ${problems.join("\n  ")}`);
  };

  await page.goto(pathToFileURL(top).href, { waitUntil: "load" });
  check("opening the top page");

  // Down the folders, by the names of the sample gallery's where they are there, else the first,
  // to the first page with at least two pictures, as the viewer is to move from one to the next.
  const preferred = ["animals", "cats"];
  for (let depth = 0; ; depth++) {
    const pictureCount = (await page.$$("a.picture")).length;
    if (pictureCount >= 2) break;
    if (depth === MAX_FOLDER_DEPTH) fail(`no folder with two pictures within ${MAX_FOLDER_DEPTH} levels of ${top}`);
    const folder = await page.evaluateHandle((name) => {
      const folders = Array.from(document.querySelectorAll("a.folder"));
      const named = folders.find((a) => a.querySelector(".name") && a.querySelector(".name").textContent === name);
      return named || folders[0] || null;
    }, preferred[depth] || "");
    if (!(await folder.evaluate((a) => a !== null))) fail(`${page.url()} has neither two pictures nor a folder`);
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), folder.click()]);
    check(`opening ${page.url()}`);
  }
  console.log(`pictures in ${page.url()}`);

  const links = await page.$$eval("a.picture", (all) => all.map((a) => ({ name: a.dataset.name, href: a.href })));
  const folderPage = page.url();
  await page.click("a.picture");
  await page.waitForSelector("#viewer", { visible: true }).catch(() => fail("clicking a picture opened no viewer"));
  if (page.url() !== folderPage) fail(`clicking a picture left the page for ${page.url()}`);
  const shown = () => page.$eval("#viewer-name", (span) => span.textContent);
  if ((await shown()) !== links[0].name) fail(`the viewer shows "${await shown()}" instead of "${links[0].name}"`);
  const source = await page.$eval("#viewer-image", (img) => img.src);
  if (source !== links[0].href) fail(`the viewer's picture is ${source} instead of ${links[0].href}`);
  const overflow = await page.evaluate(() => getComputedStyle(document.documentElement).overflow);
  if (overflow !== "hidden") fail(`the page still scrolls under the open viewer (overflow ${overflow})`);

  await page.keyboard.press("ArrowRight");
  await page.waitForFunction((name) => document.getElementById("viewer-name").textContent === name,
    { timeout: 5000 }, links[1].name).catch(async () => {
    fail(`after ArrowRight the viewer shows "${await shown()}" instead of "${links[1].name}"`);
  });
  // The buttons step too, and stop only at the ends.
  const disabled = (id) => page.$eval(id, (button) => button.disabled);
  if (await disabled("#viewer-next") !== (links.length === 2)) fail("Next is not disabled at the last picture only");
  await page.click("#viewer-previous");
  await page.waitForFunction((name) => document.getElementById("viewer-name").textContent === name,
    { timeout: 5000 }, links[0].name).catch(async () => {
    fail(`after Previous the viewer shows "${await shown()}" instead of "${links[0].name}"`);
  });
  if (!(await disabled("#viewer-previous")) || await disabled("#viewer-next")) fail("Previous and Next at the first picture");
  await page.keyboard.press("Escape");
  await page.waitForSelector("#viewer", { hidden: true, timeout: 5000 }).catch(() => fail("Escape did not close the viewer"));
  check("using the viewer");

  // The whole folder page in one picture, no thumbnail under the mouse: the lazy thumbnails load
  // once all of the page is in view.
  await page.mouse.move(0, 0);
  const height = await page.evaluate(() => document.documentElement.scrollHeight);
  await page.setViewport({ width: 1000, height: Math.min(Math.max(height, 700), 16000) });
  await page.waitForFunction(() => Array.from(document.images).every((img) => img.complete))
    .catch(() => fail("the thumbnails did not load"));
  check("loading the thumbnails");
  fs.mkdirSync(path.dirname(screenshot), { recursive: true });
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`screenshot: ${screenshot}`);
  return 0;
}

async function cleanUp(children) {
  if (children.browser) {
    const process_ = children.browser.process();
    await Promise.race([children.browser.close(), new Promise((resolve) => setTimeout(resolve, 5000))]).catch(() => {});
    if (process_) await stop(process_);
  }
  await stop(children.server);
  for (const folder of children.folders) fs.rmSync(folder, { recursive: true, force: true });
}

const children = { server: null, browser: null, folders: [] };
const watchdog = setTimeout(() => {
  console.error(`FAIL: the run took more than ${WHOLE_RUN_TIMEOUT / 1000} s`);
  cleanUp(children).finally(() => process.exit(1));
}, WHOLE_RUN_TIMEOUT);
try {
  process.exitCode = await main(children);
  if (process.exitCode === 0) console.log("PASS: the album opens, turns and closes its viewer from disk");
} catch (error) {
  console.error(`FAIL: ${error instanceof Failure ? error.message : error.stack}`);
  process.exitCode = 1;
} finally {
  await cleanUp(children);
  clearTimeout(watchdog);
}
