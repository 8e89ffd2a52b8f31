// Opens pages of a running `mivra serve` in headless Chromium (Debian's /usr/bin/chromium) and reports, as one JSON
// line, what a page could reach from where it was loaded: argv = base URL, user data folder, then the paths to open.
// Each page is expected to set window.probe to a promise of its findings.
import { chromium } from 'playwright-core';

const [base, userDataDir, ...paths] = process.argv.slice(2);
const context = await chromium.launchPersistentContext(userDataDir, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  timeout: 60000,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
const findings = {};
try {
  for (const path of paths) {
    const page = await context.newPage();
    await page.goto(base + path, { waitUntil: 'load', timeout: 30000 });
    findings[path] = await page.evaluate(() => window.probe);
    await page.close();
  }
} finally {
  await context.close();
}
console.log(JSON.stringify(findings));
