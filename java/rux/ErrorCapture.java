package rux;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

/**
 * Takes over the VM's standard error stream, so that what Java writes there (an exception that a
 * package described, say) reaches the host's log instead of the terminal. The host makes one
 * object when it starts the VM and drains the text after each call that reached Java.
 */
public final class ErrorCapture {
  private static final ByteArrayOutputStream captured = new ByteArrayOutputStream();
  private static PrintStream installed;

  public ErrorCapture() {
    synchronized (captured) {
      if (installed == null) {
        installed = new PrintStream(captured, true, StandardCharsets.UTF_8);
        System.setErr(installed);
      }
    }
  }

  /** What was written since the last drain, then forgotten. */
  public String drain() {
    synchronized (captured) {
      installed.flush();
      String text = captured.toString(StandardCharsets.UTF_8);
      captured.reset();
      return text;
    }
  }
}
