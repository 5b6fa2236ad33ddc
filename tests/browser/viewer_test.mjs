// The viewer page in a real browser: Debian's chromium, headless, driven by puppeteer-core. Starts
// taluna-render --serve on the CPU library, checks that a request without the token gets 403, loads the
// page, waits for a frame, drags across it, and checks that the frame and the status line changed.
// Exits 77 (skipped) with a message where chromium cannot start.
//   node viewer_test.mjs TOOL [SCREENSHOT.png] [PARTICLES]
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";

const SKIPPED = 77;
const [tool, screenshot, particles = "300000"] = process.argv.slice(2);
const chromium = process.env.CHROMIUM || "/usr/bin/chromium";

function fail(message) {
  console.error("browser test: FAIL: " + message);
  process.exitCode = 1;
}

let puppeteer;
try {
  puppeteer = (await import("puppeteer-core")).default;
} catch {
  console.log("browser test skipped: puppeteer-core is not installed (bash scripts/setup.sh installs it)");
  process.exit(SKIPPED);
}

const server = spawn(tool, ["--backend", "cpu", "--count", particles, "--quiet", "--serve", "0"],
                     { stdio: ["ignore", "pipe", "inherit"] });
const url = await new Promise((resolve, reject) => {
  const timer = setTimeout(() => reject(new Error("no URL printed within 120 s")), 120000);
  createInterface({ input: server.stdout }).on("line", (line) => {
    if (line.startsWith("viewer: http")) { clearTimeout(timer); resolve(new URL(line.slice(8))); }
  });
  server.on("exit", (code) => reject(new Error("the tool exited with " + code)));
});
const stopped = new Promise((resolve) => server.on("exit", (code, signal) => resolve(code ?? signal)));

let browser;
try {
  const anonymous = await fetch(url.origin + "/");
  if (anonymous.status !== 403) fail("a request without the token got " + anonymous.status);
  console.log("without the token: " + anonymous.status + " " + (await anonymous.text()).trim());

  try {
    browser = await puppeteer.launch({ executablePath: chromium, headless: true,
                                       args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"] });
  } catch (e) {
    console.log("browser test skipped: chromium cannot start (" + chromium + "): " + e.message.split("\n")[0]);
    process.exitCode = SKIPPED;
  }
  if (browser) {
    const page = await browser.newPage();
    page.on("pageerror", (e) => fail("page error: " + e.message));
    await page.setViewport({ width: 960, height: 540 });
    await page.goto(url.href);
    const frames = () => page.evaluate(() => window.viewerState.frames);
    // The frame's pixels, summed into a digest, and its size.
    const digest = () => page.evaluate(() => {
      const c = document.getElementById("frame");
      const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
      let h = 0;
      for (let i = 0; i < d.length; i += 4) h = (Math.imul(h, 31) + d[i] + 7 * d[i + 1] + 13 * d[i + 2]) | 0;
      return c.width + "x" + c.height + ":" + h;
    });
    await page.waitForFunction(() => window.viewerState && window.viewerState.frames > 0, { timeout: 60000 });
    const before = { frames: await frames(), digest: await digest(),
                     status: await page.$eval("#status", (e) => e.textContent) };
    console.log("first frame: " + before.digest + "; status: " + before.status);

    await page.mouse.move(600, 270);
    await page.mouse.down();
    await page.mouse.move(760, 330, { steps: 8 });
    await page.mouse.up();
    await page.waitForFunction((n) => window.viewerState.frames > n, { timeout: 60000 }, before.frames);
    await page.waitForNetworkIdle({ idleTime: 300, timeout: 60000 });
    const after = { digest: await digest(), status: await page.$eval("#status", (e) => e.textContent) };
    console.log("after the drag: " + after.digest + "; status: " + after.status);
    if (after.digest === before.digest) fail("the frame did not change after the drag");
    if (after.status === before.status || !/M samples\/s/.test(after.status)) fail("the status line did not update");
    if (!after.digest.startsWith("960x540:")) fail("the frame is not the window's size");
    if (screenshot) {
      await page.screenshot({ path: screenshot });
      console.log("screenshot: " + screenshot);
    }
  }
} catch (e) {
  fail(e.message);
} finally {
  if (browser) await browser.close();
  server.kill("SIGINT");
  const code = await stopped;
  if (code !== 0) fail("the server did not stop cleanly on SIGINT: " + code);
}
if (!process.exitCode) console.log("browser test: PASS");
